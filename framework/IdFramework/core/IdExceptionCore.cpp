#include <IdFramework/core/IdExceptionCore.h>

namespace Id {

EIdWinsockStubError EIdWinsockStubError::Build(uint32_t AWin32Error, std::u16string_view ATitle,
                                               const std::vector<TIdFormatArg>& AArgs) {
    std::u16string title = FormatInvariantArgs(ATitle, AArgs);
    std::u16string systemText;
    std::u16string message = title;
    if (AWin32Error != 0) {
        systemText = SysErrorMessage(static_cast<int>(AWin32Error));
        message += u": " + systemText;
    }
    EIdWinsockStubError e(message);
    e.FWin32Error = AWin32Error;
    e.FWin32ErrorMessage = std::move(systemText);
    e.FTitle = std::move(title);
    return e;
}

}  // namespace Id
