// A server whose clients each carry state of their own in a context class: a number given at
// connect, and the count of lines it sent, reported when the client leaves.
//
//   ClientState [port]
#include <atomic>
#include <iostream>
#include <string>

#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/server/IdTCPServer.h>

#include "ExampleServer.h"

using namespace Id;

// One per client, made by the listener and freed with the client's thread: state kept here needs
// no lock, since only that client's thread touches it.
class TClientContext : public TIdServerContext {
public:
    using TIdServerContext::TIdServerContext;
    int Number = 0;
    int Lines = 0;
};

int main(int argc, char** argv) {
    std::atomic<int> clients{0};
    TIdTCPServer server;
    server.SetContextClass([](TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList) {
        return new TClientContext(AConnection, AYarn, AList);
    });
    server.SetOnConnect([&clients](TIdContext* AContext) {
        auto* context = static_cast<TClientContext*>(AContext);
        context->Number = ++clients;
        context->Connection()->IOHandler()->WriteLn(u"HELLO " + IntToStr(context->Number));
    });
    server.SetOnExecute([](TIdContext* AContext) {
        auto* context = static_cast<TClientContext*>(AContext);
        TIdIOHandler* io = context->Connection()->IOHandler();
        const std::u16string line = io->ReadLn();
        io->WriteLn(IntToStr(context->Number) + u"." + IntToStr(++context->Lines) + u": " + line);
    });
    // Also after the client closed: the context is still whole here.
    server.SetOnDisconnect([](TIdContext* AContext) {
        auto* context = static_cast<TClientContext*>(AContext);
        std::cout << "client " << context->Number << " left after " << context->Lines << " lines" << std::endl;
    });
    return ServeUntilInputEnds(server, argc, argv);
}
