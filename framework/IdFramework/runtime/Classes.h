// The runtime's container and component classes: a plain object list, the locked list,
// string lists and the component with owner, name, state and removal notifications.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <IdFramework/runtime/SysUtils.h>
#include <IdFramework/runtime/SyncObjs.h>

namespace Id {

// The plain notification event: the sender alone.
using TNotifyEvent = std::function<void(TObject* ASender)>;

// Ordered list of object references; it never owns them.
class TList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    TObject* Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)); }
    TObject* operator[](int AIndex) const { return Items(AIndex); }
    int Add(TObject* AItem) {
        FItems.push_back(AItem);
        return Count() - 1;
    }
    void Insert(int AIndex, TObject* AItem) { FItems.insert(FItems.begin() + AIndex, AItem); }
    void Delete(int AIndex) { FItems.erase(FItems.begin() + AIndex); }
    int IndexOf(const TObject* AItem) const;
    // Removes the first occurrence; answers its former index or -1.
    int Remove(const TObject* AItem);
    void Clear() {
        FItems.clear();
        FItems.shrink_to_fit();
    }
    int Capacity() const { return static_cast<int>(FItems.capacity()); }
    void SetCapacity(int AValue) {
        if (AValue > Count()) FItems.reserve(static_cast<size_t>(AValue));
    }
    const std::vector<TObject*>& Items() const { return FItems; }

private:
    std::vector<TObject*> FItems;
};

enum class TDuplicates { dupIgnore, dupAccept };

// A TList guarded by a re-entrant lock of its own. Created with duplicates ignored.
class TThreadList : public TObject {
public:
    TThreadList() = default;
    ~TThreadList() override = default;

    void Add(TObject* AItem);
    void Remove(TObject* AItem);
    void Clear();
    TList& LockList() {
        FLock.Acquire();
        return FList;
    }
    void UnlockList() { FLock.Release(); }
    TDuplicates Duplicates() const { return FDuplicates; }
    void SetDuplicates(TDuplicates AValue) { FDuplicates = AValue; }

private:
    TCriticalSection FLock;
    TList FList;
    TDuplicates FDuplicates = TDuplicates::dupIgnore;
};

// Ordered list of texts, each with an optional object reference that it does not own.
class TStrings : public TObject {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    const std::u16string& Strings(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)).Text; }
    const std::u16string& operator[](int AIndex) const { return Strings(AIndex); }
    void SetStrings(int AIndex, std::u16string AText) { FItems.at(static_cast<size_t>(AIndex)).Text = std::move(AText); }
    TObject* Objects(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)).Object; }
    int Add(std::u16string AText, TObject* AObject = nullptr);
    void Insert(int AIndex, std::u16string AText);
    void Delete(int AIndex);
    void Clear() { FItems.clear(); }
    int IndexOf(const std::u16string& AText) const;
    void Assign(const TStrings& ASource) { FItems = ASource.FItems; }
    // The lines joined, each followed by CR LF.
    std::u16string Text() const;
    // Splits at CR LF, LF or CR.
    void SetText(const std::u16string& AText);
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate() { --FUpdateCount; }
    int UpdateCount() const { return FUpdateCount; }

private:
    struct TItem {
        std::u16string Text;
        TObject* Object = nullptr;
    };
    std::vector<TItem> FItems;
    int FUpdateCount = 0;
};

class TStringList : public TStrings {};

enum class TOperation { opInsert, opRemove };

// Owner that frees what it owns, a name, a tag, a loading and a designing state, and
// notifications to components that asked to hear when this one is destroyed.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    const std::u16string& Name() const { return FName; }
    virtual void SetName(const std::u16string& AName) { FName = AName; }
    intptr_t Tag() const { return FTag; }
    void SetTag(intptr_t AValue) { FTag = AValue; }

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int AIndex) const { return FComponents.at(static_cast<size_t>(AIndex)); }

    // Asks for a Notification(this-component, opRemove) on AComponent when this one is destroyed,
    // and the other way round; both sides keep the link until either goes.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    bool IsLoading() const { return FLoading; }
    bool IsDesigning() const { return FDesigning; }
    void SetDesigning(bool AValue) { FDesigning = AValue; }
    // Reading a component from a description: properties are stored between the two calls,
    // then Loaded lets the component act on them.
    void BeginLoading() { FLoading = true; }
    void EndLoading() {
        FLoading = false;
        Loaded();
    }

protected:
    virtual void Loaded() {}
    // Called when a component this one references (owned or linked by FreeNotification) is destroyed.
    virtual void Notification(TComponent* AComponent, TOperation AOperation);
    // Frees every owned component now; a destructor calls it when its owned components must go
    // before its own fields.
    void DestroyComponents();
    // Tells every linked component that this one goes; a destructor calls it early when listeners
    // must forget it before the derived part is torn down.
    void NotifyDestroying();

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    std::u16string FName;
    intptr_t FTag = 0;
    bool FLoading = false;
    bool FDesigning = false;
    bool FDestroying = false;
};

}  // namespace Id
