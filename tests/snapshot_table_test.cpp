// The table's walk, look-up, naming and texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "port_table.h"
#include "snapshot_doubles.h"

using namespace testing_doubles;

namespace {

// A table of three entries: process 500 twice (one with a path), 600 once.
class ThreeEntries : public ::testing::Test {
protected:
    void SetUp() override {
        fake.tcp = {{2, Address("0.0.0.0"), Port(80), 0, 0, 500},
                    {5, Address("127.0.0.1"), Port(80), Address("127.0.0.1"), Port(4000), 500}};
        fake.udp = {{Address("127.0.0.1"), Port(53), 600}};
        fake.paths = {{500, ""}, {600, ""}};
        table.CollectEndpoints();
        table.AssignKeysAndIcons();
    }
    FakeSystem fake;
    Doubles doubles{fake};
    CPortTable table;
};

} // namespace

TEST(PortTableWalk, EmptyTableYieldsNothing) {
    CPortTable table;
    int index = 42;
    PortEntry sentinel{};
    PortEntry* entry = &sentinel;
    EXPECT_EQ(table.GetFirst(index, entry), 0);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(entry, &sentinel);
    EXPECT_EQ(table.FindByKey(0), nullptr);
    table.Clear();
    table.Clear();
}

TEST_F(ThreeEntries, WalkYieldsEveryEntryThenLeavesThePointer) {
    int index = 0;
    PortEntry* entry = nullptr;
    std::vector<int> keys;
    for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry))
        keys.push_back(entry->key);
    EXPECT_EQ(keys, (std::vector<int>{0, 1, 2}));
    PortEntry* last = entry;
    EXPECT_EQ(index, 3);
    EXPECT_EQ(table.GetNext(index, entry), 0);
    EXPECT_EQ(index, 4); // increased even past the end
    EXPECT_EQ(entry, last);
    index = -5; // taken unsigned: far past the end
    EXPECT_EQ(table.GetNext(index, entry), 0);
    EXPECT_EQ(entry, last);
}

TEST_F(ThreeEntries, FindByKeyFindsTheEntryNumberedSo) {
    ASSERT_NE(table.FindByKey(2), nullptr);
    EXPECT_EQ(table.FindByKey(2)->protocol, 1);
    EXPECT_EQ(table.FindByKey(3), nullptr);
    EXPECT_EQ(table.FindByKey(-1), nullptr);
}

TEST_F(ThreeEntries, NamesFillOnlyEmptyPathsOfThatProcess) {
    std::strcpy(table.FindByKey(1)->processPath, "/usr/sbin/webd");
    table.SetNameForPid(500, "webd");
    EXPECT_STREQ(table.FindByKey(0)->processPath, "[webd]");
    EXPECT_STREQ(table.FindByKey(1)->processPath, "/usr/sbin/webd");
    EXPECT_STREQ(table.FindByKey(2)->processPath, "");
    table.SetNameForPid(500, "other");
    EXPECT_STREQ(table.FindByKey(0)->processPath, "[webd]");
    table.SetNameForPid(600, nullptr);
    EXPECT_STREQ(table.FindByKey(2)->processPath, "");
    table.SetNameForPid(600, "");
    EXPECT_STREQ(table.FindByKey(2)->processPath, "");
}

// Any process may name itself like a program's path; shown, a name still
// never begins as a path does, however long it is.
TEST_F(ThreeEntries, ANameNeverReadsAsAPath) {
    table.SetNameForPid(500, "/usr/sbin/sshd");
    EXPECT_STREQ(table.FindByKey(0)->processPath, "[/usr/sbin/sshd]");

    // Too long for the field: cut inside its brackets, at a character's
    // boundary (the 257th byte would split an "é").
    std::string longName = std::string(256, 'n') + "\xC3\xA9" + std::string(100, 'n');
    table.SetNameForPid(600, longName.c_str());
    EXPECT_EQ(std::string(table.FindByKey(2)->processPath), "[" + std::string(256, 'n') + "]");
}

TEST(PortTableTexts, StateTextsFollowTheStateTable) {
    std::string text = "stale";
    CPortTable::GetStateText(0, text);
    EXPECT_EQ(text, "???");
    CPortTable::GetStateText(1, text);
    EXPECT_EQ(text, "CLOSED");
    CPortTable::GetStateText(2, text);
    EXPECT_EQ(text, "监听");
    CPortTable::GetStateText(3, text);
    EXPECT_EQ(text, "同步发送");
    CPortTable::GetStateText(4, text);
    EXPECT_EQ(text, "同步接收");
    CPortTable::GetStateText(5, text);
    EXPECT_EQ(text, "连接");
    CPortTable::GetStateText(11, text);
    EXPECT_EQ(text, "TIME_WAIT");
    CPortTable::GetStateText(12, text);
    EXPECT_EQ(text, "DELETE_TCB");
    CPortTable::GetStateText(13, text);
    EXPECT_EQ(text, "");
    text = "stale";
    CPortTable::GetStateText(static_cast<uint32_t>(-1), text);
    EXPECT_EQ(text, "");
}

TEST(PortTableTexts, AddressesPrintFirstOctetFirst) {
    char text[32];
    EXPECT_STREQ(CPortTable::FormatIPv4(Address("127.0.0.1"), text), "127.0.0.1");
    EXPECT_STREQ(CPortTable::FormatIPv4(0xFFFFFFFFu, text), "255.255.255.255");
    EXPECT_STREQ(CPortTable::FormatIPv4(0, text), "0.0.0.0");
}
