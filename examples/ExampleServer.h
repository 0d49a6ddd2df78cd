// What every example server does around its own handlers: start on the port given (0 or none: one
// the system picks), say which, serve until standard input ends or a line is typed, stop.
#pragma once

#include <cstdlib>
#include <iostream>
#include <string>

#include <IdFramework/core/IdException.h>
#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/server/IdCustomTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>

inline int ServeUntilInputEnds(Id::TIdCustomTCPServer& AServer, int argc, char** argv) {
    // Without bindings of its own the server listens on every IPv4 and IPv6 address.
    AServer.SetDefaultPort(static_cast<uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0));
    // A client's normal end reaches OnException too: a silent exception when it closed,
    // EIdClosedSocket when the server's stop closed it during a read. Only the others are failures.
    if (!AServer.OnException()) {
        AServer.SetOnException([](Id::TIdContext*, Id::Exception& AException) {
            if (!dynamic_cast<Id::EIdSilentException*>(&AException) && !dynamic_cast<Id::EIdClosedSocket*>(&AException))
                std::cerr << "client failed: " << AException.what() << std::endl;
        });
    }
    try {
        AServer.SetActive(true);
    } catch (const Id::Exception& AException) {
        std::cerr << "cannot start: " << AException.what() << std::endl;
        return 1;
    }
    std::cout << "Listening on port " << AServer.Bindings()->Items(0)->Port() << std::endl;
    std::string line;
    std::getline(std::cin, line);
    // Closes every client's connection and waits for every client thread.
    AServer.SetActive(false);
    return 0;
}
