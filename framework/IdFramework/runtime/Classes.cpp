#include <IdFramework/runtime/Classes.h>

#include <algorithm>
#include <mutex>

namespace Id {

int TList::IndexOf(const TObject* AItem) const {
    const auto it = std::find(FItems.begin(), FItems.end(), AItem);
    return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

int TList::Remove(const TObject* AItem) {
    const int index = IndexOf(AItem);
    if (index >= 0) Delete(index);
    return index;
}

void TThreadList::Add(TObject* AItem) {
    std::lock_guard guard(FLock);
    if (FDuplicates == TDuplicates::dupIgnore && FList.IndexOf(AItem) >= 0) return;
    FList.Add(AItem);
}

void TThreadList::Remove(TObject* AItem) {
    std::lock_guard guard(FLock);
    FList.Remove(AItem);
}

void TThreadList::Clear() {
    std::lock_guard guard(FLock);
    FList.Clear();
}

int TStrings::Add(std::u16string AText, TObject* AObject) {
    FItems.push_back({std::move(AText), AObject});
    return Count() - 1;
}

void TStrings::Insert(int AIndex, std::u16string AText) {
    FItems.insert(FItems.begin() + AIndex, TItem{std::move(AText), nullptr});
}

void TStrings::Delete(int AIndex) { FItems.erase(FItems.begin() + AIndex); }

int TStrings::IndexOf(const std::u16string& AText) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (SameText(FItems[i].Text, AText)) return static_cast<int>(i);
    return -1;
}

std::u16string TStrings::Text() const {
    std::u16string out;
    for (const auto& item : FItems) {
        out += item.Text;
        out += u"\r\n";
    }
    return out;
}

void TStrings::SetText(const std::u16string& AText) {
    FItems.clear();
    size_t start = 0;
    size_t i = 0;
    while (i < AText.size()) {
        if (AText[i] == u'\r' || AText[i] == u'\n') {
            Add(AText.substr(start, i - start));
            if (AText[i] == u'\r' && i + 1 < AText.size() && AText[i + 1] == u'\n') ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < AText.size()) Add(AText.substr(start));
}

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    NotifyDestroying();
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::NotifyDestroying() {
    if (FDestroying) return;
    FDestroying = true;
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& back = other->FFreeNotifies;
        back.erase(std::remove(back.begin(), back.end(), this), back.end());
        other->Notification(this, TOperation::opRemove);
    }
}

void TComponent::DestroyComponents() {
    while (!FComponents.empty()) {
        TComponent* child = FComponents.back();
        RemoveComponent(child);
        delete child;
    }
}

void TComponent::InsertComponent(TComponent* AComponent) {
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
    AComponent->FOwner = nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (!AComponent || AComponent == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
    auto& back = AComponent->FFreeNotifies;
    if (std::find(back.begin(), back.end(), this) == back.end()) back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (!AComponent) return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent), FFreeNotifies.end());
    auto& back = AComponent->FFreeNotifies;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation AOperation) {
    // An owned component destroyed elsewhere leaves the owner's list.
    if (AOperation == TOperation::opRemove && AComponent->FOwner == this) RemoveComponent(AComponent);
}

}  // namespace Id
