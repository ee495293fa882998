#pragma once

#include "lib/orvConnections.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TOrvServers;

namespace orvtest {

// Waits for the predicate while serving worker threads' calls into this (the
// main) thread, as the GUI thread does; true when it held in time.
bool ServeUntil(const std::function<bool()>& predicate,
                std::chrono::milliseconds deadline = std::chrono::seconds(30));

// Polls a started establishment like the main window's timer: the registered
// connection, or none when it failed or the deadline passed.
std::unique_ptr<TorvConnection> Establish(TOrvServers& servers,
                                          std::chrono::milliseconds deadline = std::chrono::seconds(40));

// Starts an establishment for the session (0: a new one) as a program of that kind and polls it.
std::unique_ptr<TorvConnection> JoinSession(const std::string& settings, std::int32_t sessionID,
                                            std::uint8_t kind);

} // namespace orvtest
