// An echo server that answers every line in upper case. "QUIT" ends the client's session.
//
//   EchoUpper [port]
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/server/IdTCPServer.h>

#include "ExampleServer.h"

using namespace Id;

int main(int argc, char** argv) {
    TIdTCPServer server;
    // Runs on the client's own thread, again and again while the client is connected.
    server.SetOnExecute([](TIdContext* AContext) {
        TIdIOHandler* io = AContext->Connection()->IOHandler();
        // Waits for a whole line (LF or CR LF); the server's stop, or the client's close, ends
        // the wait with an exception that ends this client's loop.
        const std::u16string line = io->ReadLn();
        if (line == u"QUIT") {
            io->WriteLn(u"BYE");
            AContext->Connection()->Disconnect();
            return;
        }
        io->WriteLn(UpperCase(line));
    });
    return ServeUntilInputEnds(server, argc, argv);
}
