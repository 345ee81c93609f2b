#pragma once

// Debian's Chromium, headless, driven through chromedriver's WebDriver
// protocol on 127.0.0.1: the page as a browser runs it, its script and
// style included.

#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>

class TBrowser {
public:
    static bool Installed();

    TBrowser(int width, int height);
    ~TBrowser();

    // False, with the reason in Failure(), when no browser session started.
    bool Started() const { return !session_.isEmpty(); }
    const QString& Failure() const { return failure_; }

    void Go(const QString& url);
    void Resize(int width, int height);
    // The value the script returns (the body of a function).
    QJsonValue Run(const QString& script);
    // "dark" or "light" for prefers-color-scheme.
    void SetColorScheme(const QString& scheme);
    void PressKey(const QString& key);
    bool Screenshot(const QString& path);

private:
    QJsonValue Command(const QString& path, const QJsonObject& body);

    uint16_t port_ = 0;
    QProcess driver_;
    QString session_;
    QString failure_;
};
