// A server that sends a file and large blocks, ends clients that stay silent, and answers the
// clients beyond its limit instead of dropping them unanswered.
//   "FILE"     -> "SIZE n", then the file's n bytes
//   "BLOCK n"  -> "SIZE n", then n bytes gathered in the write buffer and sent together
//
//   FileServer [port] [file] [read-timeout-ms]
#include <cstdlib>
#include <filesystem>
#include <string>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/server/IdTCPServer.h>

#include "ExampleServer.h"

using namespace Id;

class TFileServer : public TIdTCPServer {
protected:
    // On the listener's thread, for a client the limit turns away: a short answer only, then the
    // server closes that connection.
    void MaxConnectionsExceeded(TIdIOHandler* AIOHandler) override { AIOHandler->WriteLn(u"BUSY"); }
};

int main(int argc, char** argv) {
    const std::string path = argc > 2 ? argv[2] : "FileServer.cpp";
    const std::u16string file = FromUtf8(path);
    const int readTimeout = argc > 3 ? std::atoi(argv[3]) : 10000;
    TFileServer server;
    server.SetMaxConnections(2);
    server.SetOnConnect([readTimeout](TIdContext* AContext) {
        // Every read of this client raises EIdReadTimeout when nothing comes for that long.
        AContext->Connection()->IOHandler()->SetReadTimeout(readTimeout);
    });
    server.SetOnExecute([&path, &file](TIdContext* AContext) {
        TIdIOHandler* io = AContext->Connection()->IOHandler();
        std::u16string command;
        try {
            command = io->ReadLn();
        } catch (const EIdReadTimeout&) {
            io->WriteLn(u"TIMEOUT");
            AContext->Connection()->Disconnect();
            return;
        }
        if (command == u"FILE") {
            io->WriteLn(u"SIZE " + IntToStr(static_cast<int64_t>(std::filesystem::file_size(path))));
            io->WriteFile(file);
        } else if (command.rfind(u"BLOCK ", 0) == 0) {
            int32_t size = 0;
            if (!TryStrToInt(command.substr(6), size) || size < 0) size = 0;
            io->WriteLn(u"SIZE " + IntToStr(size));
            // The size line and every piece leave in as few sends as the system takes.
            io->WriteBufferOpen();
            const TIdByteArray piece(1024, 'x');
            for (int left = size; left > 0; left -= 1024) io->Write(piece, left < 1024 ? left : 1024);
            io->WriteBufferClose();
        } else {
            io->WriteLn(u"UNKNOWN " + command);
        }
    });
    return ServeUntilInputEnds(server, argc, argv);
}
