// A client for a line server: sends each argument as a line and prints the line that answers it.
//
//   LineClient host port line...
//   LineClient 127.0.0.1 8000 hello QUIT
#include <cstdlib>
#include <iostream>

#include <IdFramework/client/IdTCPClient.h>
#include <IdFramework/core/IdException.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/runtime/SysUtils.h>

using namespace Id;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: LineClient host port line..." << std::endl;
        return 2;
    }
    TIdTCPClient client;
    client.SetHost(FromUtf8(argv[1]));
    client.SetPort(static_cast<uint16_t>(std::atoi(argv[2])));
    client.SetConnectTimeout(3000);
    // A server that does not answer within five seconds raises EIdReadTimeout.
    client.SetReadTimeout(5000);
    try {
        client.Connect();
        for (int i = 3; i < argc; ++i) {
            client.IOHandler()->WriteLn(FromUtf8(argv[i]));
            std::cout << ToUtf8(client.IOHandler()->ReadLn()) << std::endl;
        }
        client.Disconnect();
    } catch (const EIdConnClosedGracefully&) {
        std::cerr << "the server closed the connection" << std::endl;
        return 1;
    } catch (const Exception& AException) {
        // A socket error says which: "Socket-Fehler # 10061 Verbindung abgelehnt." and so on.
        std::cerr << ToUtf8(AException.ClassName()) << ": " << AException.what() << std::endl;
        return 1;
    }
    return 0;
}
