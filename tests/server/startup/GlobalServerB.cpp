#include "GlobalServers.h"

#include <string>

#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/stack/IdSocketHandle.h>

namespace IdTest {

Id::TIdTCPServer GServerB;

uint16_t StartOnLoopback(Id::TIdTCPServer& AServer, const char16_t* AReplyPrefix) {
    const std::u16string prefix = AReplyPrefix;
    AServer.SetOnExecute([prefix](Id::TIdContext* AContext) {
        Id::TIdIOHandler* io = AContext->Connection()->IOHandler();
        const std::u16string line = io->ReadLn(u"\r\n", 200);
        if (!line.empty()) io->WriteLn(prefix + line);
    });
    Id::TIdSocketHandle* binding = AServer.Bindings()->Add();
    binding->SetIP(u"127.0.0.1");
    binding->SetPort(0);
    AServer.SetActive(true);
    return AServer.Bindings()->Items(0)->Port();
}

}  // namespace IdTest
