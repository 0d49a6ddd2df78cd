#include <gtest/gtest.h>

#include <IdFramework/runtime/Classes.h>
#include <IdFramework/runtime/Streams.h>

using namespace Id;

namespace {
class TWatcher : public TComponent {
public:
    using TComponent::TComponent;
    TComponent* Linked = nullptr;
    void Link(TComponent* AOther) {
        Linked = AOther;
        AOther->FreeNotification(this);
    }

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override {
        TComponent::Notification(AComponent, AOperation);
        if (AOperation == TOperation::opRemove && AComponent == Linked) Linked = nullptr;
    }
};
}  // namespace

TEST(Component, OwnerFreesOwnedAndLinkedComponentsForgetTheDestroyed) {
    auto* owner = new TComponent;
    auto* child = new TComponent(owner);
    TWatcher watcher;
    watcher.Link(child);
    EXPECT_EQ(owner->ComponentCount(), 1);
    delete child;  // destroyed elsewhere: leaves the owner and the watcher forgets it
    EXPECT_EQ(owner->ComponentCount(), 0);
    EXPECT_EQ(watcher.Linked, nullptr);
    auto* second = new TComponent(owner);
    watcher.Link(second);
    delete owner;  // frees second
    EXPECT_EQ(watcher.Linked, nullptr);
}

TEST(Strings, TextRoundTripAndLookup) {
    TStringList list;
    list.SetText(u"a\r\nb\nc\rd");
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list[3], u"d");
    EXPECT_EQ(list.Text(), u"a\r\nb\r\nc\r\nd\r\n");
    EXPECT_EQ(list.IndexOf(u"B"), 1);
}

TEST(Streams, MemoryStreamSeekSizeAndCopy) {
    TMemoryStream source;
    source.WriteBuffer("hello", 5);
    EXPECT_EQ(source.Size(), 5);
    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(source, 0), 5);
    EXPECT_EQ(std::string(copy.Data().begin(), copy.Data().end()), "hello");
    copy.SetSize(2);
    EXPECT_EQ(copy.Position(), 2);
    char buf[4] = {};
    copy.SetPosition(0);
    EXPECT_EQ(copy.Read(buf, 4), 2);
    EXPECT_THROW(copy.ReadBuffer(buf, 1), EStreamError);
}

TEST(Streams, FileStreamMissingFileRaises) {
    EXPECT_THROW(TFileStream(u"/nonexistent/dir/file", TFileMode::fmOpenRead), EFOpenError);
    EXPECT_FALSE(FileExists(u"/nonexistent/dir/file"));
}
