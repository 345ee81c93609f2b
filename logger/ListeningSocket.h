#pragma once

#include <QString>

#include <cstdint>

// A listening, non-blocking TCP socket on address:port for a server of the
// logger, or -1 with the reason in error: "cannot listen on
// 127.0.0.1:9105: Address already in use", "cannot listen on
// [::1]:80: Permission denied".
int ListeningSocket(const QString& address, uint16_t port, QString& error);
