// Servers at namespace scope in two units: they are made during static initialisation, before the
// framework's own units may have been initialised, and destroyed after main returns.
#pragma once

#include <cstdint>

#include <IdFramework/server/IdTCPServer.h>

namespace IdTest {

extern Id::TIdTCPServer GServerA;
extern Id::TIdTCPServer GServerB;

// One loopback binding on a free port, answering each line with AReplyPrefix + line.
uint16_t StartOnLoopback(Id::TIdTCPServer& AServer, const char16_t* AReplyPrefix);

}  // namespace IdTest
