#pragma once

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <functional>

using namespace std::chrono_literals;

// Every wait ends on its condition; the deadline only bounds a failure.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds deadline = 20s)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    return true;
}
