// The base of every framework component.
//
// Set-up: the constructors of each class in the chain do what a set-up hook would, base first,
// so that a component is complete when its constructor returns and defaults live in one place.
#pragma once

#include <string>

#include <IdFramework/IdVersion.h>
#include <IdFramework/runtime/Classes.h>

namespace Id {

class TIdInitializerComponent : public TComponent {
public:
    explicit TIdInitializerComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
    bool ComponentIsLoading() const { return IsLoading(); }
    bool ComponentIsDesigning() const { return IsDesigning(); }
};

class TIdBaseComponent : public TIdInitializerComponent {
public:
    explicit TIdBaseComponent(TComponent* AOwner = nullptr) : TIdInitializerComponent(AOwner) {}
    // The framework's version, as the build states it (ID_FRAMEWORK_VERSION).
    std::u16string Version() const { return u"" ID_FRAMEWORK_VERSION; }
};

}  // namespace Id
