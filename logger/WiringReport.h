#pragma once

#include "SiteOutput.h"

#include <QHash>
#include <QString>

#include <string>
#include <unordered_map>

// The wiring checks of each meter on stderr, once per change: a line when
// a check starts to fail, with the values it judged and what to do, and a
// line when it no longer fails. A pass that did not bring the values the
// checks judge changes nothing: the last verdict said still stands.
class TWiringReport : public TSiteOutput {
public:
    void Publish(const TMeterReading& reading) override;
    // Says nothing at the end: a check that fails was said when it began.
    void Finish(Clock::time_point) override {}

private:
    // Of each meter by its name, each check by its name: whether it fails.
    QHash<QString, std::unordered_map<std::string, bool>> failing_;
};
