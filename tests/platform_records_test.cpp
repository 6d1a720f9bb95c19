// Record layouts and the pure parsers beneath the services.
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <ombrel/services.h>

#include "platform/core/command_line.h"
#include "platform/linux/base/mounts.h"
#include "platform/linux/base/proc_text.h"
#include "platform/linux/base/procfs.h"
#include "platform/linux/metadata/icon_theme.h"
#include "platform/linux/metadata/xdg.h"
#include "platform/linux/sockets/inet_sockets.h"
#include <ombrel/text.h>

using namespace ombrel::platform;

// The records' sizes are static_asserts beside the records themselves.

TEST(CopyText, FitsExactlyAndAlwaysTerminates) {
    char buffer[6];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CopyText(buffer, sizeof buffer, "abcde"), 5u);
    EXPECT_STREQ(buffer, "abcde");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CopyText(buffer, sizeof buffer, "abcdefgh"), 5u);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(CopyText(buffer, 1, "abc"), 0u);
    EXPECT_EQ(buffer[0], '\0');
    buffer[0] = 'q';
    EXPECT_EQ(CopyText(buffer, 0, "abc"), 0u);
    EXPECT_EQ(buffer[0], 'q');
}

TEST(CopyText, CutsAtACharacterBoundary) {
    // "监听" is two three-byte characters.
    const char* text = "\xE7\x9B\x91\xE5\x90\xAC";
    char buffer[6];
    EXPECT_EQ(CopyText(buffer, sizeof buffer, text), 3u);
    EXPECT_STREQ(buffer, "\xE7\x9B\x91");
    EXPECT_EQ(CopyText(buffer, 4, text), 3u);
    EXPECT_EQ(CopyText(buffer, 3, text), 0u);
    // Bytes that are not UTF-8 are single characters and are cut anywhere.
    EXPECT_EQ(CopyText(buffer, 4, "\xFF\xFE\x80\x80\x41"), 3u);
    EXPECT_EQ(Utf8FitLength("ab\xC3\xA9", 3), 2u);
    EXPECT_EQ(Utf8FitLength("ab\xC3\xA9", 4), 4u);
}

struct ShownCase {
    std::string text, shown;
};

// Strict UTF-8: a byte outside a valid sequence is \xHH, alone, whatever
// follows it; a valid sequence passes or is escaped as one character.
TEST(ShownText, BytesThatAreNotUtf8ShowAsTheirEscapes) {
    const ShownCase cases[] = {
        {"/usr/bin/ü 漢 \xF0\x9F\x98\x80", "/usr/bin/ü 漢 \xF0\x9F\x98\x80"}, // 4-byte forms too
        {"a\xFF-\xFE", "a\\xff-\\xfe"},
        {"\x9B[2J", "\\x9b[2J"}, // a lone 8-bit CSI
        // Cut short, at the end or before another character.
        {"\xC3", "\\xc3"},
        {"\xE2\x80", "\\xe2\\x80"},
        {"\xF0\x9F\x98-", "\\xf0\\x9f\\x98-"},
        {"\x80\xBF", "\\x80\\xbf"},
        // Overlong forms of '/', of U+0040 and of U+FFFF.
        {"\xC0\xAF", "\\xc0\\xaf"},
        {"\xC1\x80", "\\xc1\\x80"},
        {"\xE0\x80\xAF", "\\xe0\\x80\\xaf"},
        {"\xF0\x8F\xBF\xBF", "\\xf0\\x8f\\xbf\\xbf"},
        // Surrogates, a pair among them, and values past U+10FFFF.
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},
        {"\xED\xA0\xBD\xED\xB8\x80", "\\xed\\xa0\\xbd\\xed\\xb8\\x80"},
        {"\xF4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"\xF5\x80\x80\x80", "\\xf5\\x80\\x80\\x80"},
        // The edges that are characters: U+D7FF, U+E000, U+10FFFF.
        {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"},
    };
    for (const ShownCase& c : cases)
        EXPECT_EQ(ShownText(c.text), c.shown) << c.shown;
}

TEST(ShownText, ControlsSeparatorsAndReorderingCharactersShowAsEscapes) {
    const ShownCase cases[] = {
        {"a\tb\nc\rd\x1B[e\x7F-", "a\\tb\\nc\\x0dd\\x1b[e\\x7f-"},
        // The C1 controls as characters, NEL and CSI among them: written so
        // that no byte's escape reads the same.
        {"\xC2\x80\xC2\x85\xC2\x9B[\xC2\x9F", "\\u0080\\u0085\\u009b[\\u009f"},
        {"\xC2\xA0", "\xC2\xA0"}, // the first character past them
        {"x\xE2\x80\xA8y\xE2\x80\xA9", "x\\u2028y\\u2029"},
        // Marks, embeddings, overrides and isolates, the Arabic letter mark too.
        {"\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA\xE2\x80\xAD\xE2\x80\xAE",
         "\\u200e\\u200f\\u202a\\u202d\\u202e"},
        {"\xE2\x81\xA6\xE2\x81\xA9\xD8\x9C", "\\u2066\\u2069\\u061c"},
        {"\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xAA",
         "\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xAA"}, // their neighbours
    };
    for (const ShownCase& c : cases)
        EXPECT_EQ(ShownText(c.text), c.shown) << c.shown;
}

// The window shows a backslash as it is; the command line escapes it, so
// each of its fields reads back to the one text it came from.
TEST(ShownText, ABackslashIsEscapedOnlyWhenAsked) {
    EXPECT_EQ(ShownText("C:\\x41\\t"), "C:\\x41\\t");
    EXPECT_EQ(ShownText("C:\\x41\\t", Backslash::Escaped), "C:\\\\x41\\\\t");
    EXPECT_EQ(ShownText("\\\x01", Backslash::Escaped), "\\\\\\x01");
}

// Whatever the bytes, what is shown is valid UTF-8 without a control
// character: every two-byte string is tried in both modes.
TEST(ShownText, EveryPairOfBytesShowsAsPrintableUtf8) {
    for (int first = 1; first < 256; ++first)
        for (int second = 1; second < 256; ++second)
            for (Backslash backslash : {Backslash::AsItIs, Backslash::Escaped}) {
                const char text[] = {static_cast<char>(first), static_cast<char>(second), 0};
                std::string shown = ShownText(text, backslash);
                ASSERT_EQ(ShownText(shown), shown) << first << " " << second;
                for (unsigned char byte : shown)
                    ASSERT_TRUE(byte >= 0x20 && byte != 0x7F) << first << " " << second;
            }
}

TEST(CommandLine, FollowsThePlatformArgvRules) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitCommandLine(""), V{});
    EXPECT_EQ(SplitCommandLine("  a  b\tc "), (V{"a", "b", "c"}));
    EXPECT_EQ(SplitCommandLine(R"("a b" c)"), (V{"a b", "c"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\b "c\"d" e\\\"f)"), (V{R"(a\\b)", R"(c"d)", R"(e\"f)"}));
    EXPECT_EQ(SplitCommandLine(R"("x\\" y)"), (V{R"(x\)", "y"}));
    EXPECT_EQ(SplitCommandLine(R"("" "say ""hi""")"), (V{"", R"(say "hi")"}));
}

TEST(TaskStat, NameMayHoldParenthesesAndBlanks) {
    auto stat = ParseTaskStat("42 (a) b (c) S 7 42 42 0 -1 0 0 0 0 0 1 2 0 0 20 0 5 0 9876 0 0\n");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->comm, "a) b (c");
    EXPECT_EQ(stat->ppid, 7u);
    EXPECT_EQ(stat->userTicks, 1u);
    EXPECT_EQ(stat->systemTicks, 2u);
    EXPECT_EQ(stat->threads, 5u);
    EXPECT_EQ(stat->startTime, 9876u);
    EXPECT_FALSE(ParseTaskStat("42 (short) S 7 42\n"));
    EXPECT_FALSE(ParseTaskStat("42 (a) S 7 42 42 0 -1 0 0 0 0 0 x 2 0 0 20 0 5 0 9876 0 0\n"));
    EXPECT_FALSE(ParseTaskStat("no parentheses here"));
    EXPECT_FALSE(ParseTaskStat(""));
}

TEST(ProcEntryNames, ProcessIdsAndDescriptorsAreWholeDecimals) {
    EXPECT_EQ(ParseProcessId("4242"), 4242u);
    EXPECT_EQ(ParseProcessId("4294967295"), 4294967295u);
    for (const char* name : {"", "0", "042", "4294967296", "self", "12a", "-1", "+1"})
        EXPECT_FALSE(ParseProcessId(name)) << name;
    EXPECT_EQ(ParseDescriptor("0"), 0u);
    EXPECT_EQ(ParseDescriptor("17"), 17u);
    for (const char* name : {"", ".", "3 ", "2147483648"})
        EXPECT_FALSE(ParseDescriptor(name)) << name;
}

TEST(SocketLink, OnlyASocketsLinkNamesAnInode) {
    EXPECT_EQ(ParseSocketLink("socket:[12345]"), 12345u);
    EXPECT_EQ(ParseSocketLink("socket:[18446744073709551615]"), UINT64_MAX);
    for (const char* link :
         {"socket:[0]", "socket:[]", "socket:[12x]", "socket:[-1]", "socket:[18446744073709551616]",
          "socket:[5", "socket:5]", "pipe:[5]", "anon_inode:[eventfd]", "/tmp/socket:[5]", ""})
        EXPECT_FALSE(ParseSocketLink(link)) << link;
}

TEST(MountInfo, LinesGiveTheirPointTypeAndSuperOptions) {
    auto line = ParseMountInfoLine(
        "36 35 98:0 /mnt1 /mnt\\040two\\011x rw,noatime master:1 shared:2 - ext3 /dev/root "
        "rw,errors=continue");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->id, 36u);
    EXPECT_EQ(line->point, "/mnt two\tx");
    EXPECT_TRUE(line->described);
    EXPECT_EQ(line->type, "ext3");
    EXPECT_EQ(line->superOptions, "rw,errors=continue");
    // The separator may not be taken from a path: blanks there are escaped.
    line = ParseMountInfoLine("7 1 0:5 / /a\\040-\\040b rw - tmpfs none rw");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->point, "/a - b");
    EXPECT_EQ(line->type, "tmpfs");
    line = ParseMountInfoLine("x 1 0:5 / /cut rw");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->id, 0u);
    EXPECT_FALSE(line->described);
    EXPECT_FALSE(ParseMountInfoLine("1 2 0:5 /"));
    EXPECT_FALSE(ParseMountInfoLine(""));

    // The table the layer keeps: described lines only, longest point first.
    std::vector<MountPoint> mounts = ParseMountInfo("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                                    "2 1 0:40 / /net rw - nfs4 srv:/ rw\n"
                                                    "3 2 0:41 / /net/local rw\n"
                                                    "4 1 0:42 / /home/me/box rw - fuse.sshfs x rw");
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].point, "/home/me/box");
    EXPECT_TRUE(mounts[0].remote);
    EXPECT_EQ(mounts[1].point, "/net");
    EXPECT_TRUE(mounts[1].remote);
    EXPECT_EQ(mounts[2].id, 1u);
    EXPECT_FALSE(mounts[2].remote);
}

TEST(MountInfo, HiddenProcessesAreToldByProcsSuperOptions) {
    const std::string root = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
    auto proc = [](std::string super) {
        return "22 1 0:21 / /proc rw,nosuid - proc proc " + super + "\n";
    };
    EXPECT_FALSE(HidesProcesses(root + proc("rw")));
    EXPECT_FALSE(HidesProcesses(root + proc("rw,hidepid=0")));
    EXPECT_FALSE(HidesProcesses(root + proc("rw,hidepid=off,subset=pid")));
    EXPECT_FALSE(HidesProcesses(root)); // a root with no /proc of its own
    for (const char* hiding :
         {"rw,hidepid=2", "rw,hidepid=invisible", "hidepid=ptraceable,rw", "rw,hidepid=1,gid=27"})
        EXPECT_TRUE(HidesProcesses(root + proc(hiding))) << hiding;
    // A later mount over /proc hides what the first showed.
    EXPECT_TRUE(HidesProcesses(root + proc("rw") + proc("rw,hidepid=2")));
    // Only the super option counts, not a source or a mount option so named.
    EXPECT_FALSE(HidesProcesses(root + "22 1 0:21 / /proc rw - proc hidepid=2 rw\n"));
    EXPECT_FALSE(HidesProcesses(root + proc("rw,nohidepid=2")));
    // Another mount's options are not /proc's.
    EXPECT_FALSE(HidesProcesses(root + "30 1 0:30 / /proc2 rw - proc proc rw,hidepid=2\n"));
    EXPECT_FALSE(HidesProcesses(root + "30 1 0:30 / /srv/proc rw - proc proc rw,hidepid=2\n"));
    // What cannot be told counts as hidden.
    EXPECT_TRUE(HidesProcesses(""));
    EXPECT_TRUE(HidesProcesses(root + "22 1 0:21 / /proc rw,nosuid\n"));
}

TEST(ProcessImageName, WidensACutTaskNameToTheProgramFile) {
    EXPECT_EQ(ProcessImageName("very-long-progr", "/usr/bin/very-long-program-name"),
              "very-long-program-name");
    EXPECT_EQ(ProcessImageName("python3", "/usr/bin/python3.11"), "python3.11");
    // A task renamed to something else keeps the kernel's name.
    EXPECT_EQ(ProcessImageName("worker", "/usr/bin/python3.11"), "worker");
    EXPECT_EQ(ProcessImageName("kthreadd", ""), "kthreadd");
    EXPECT_EQ(ProcessImageName("oldtool", "/opt/oldtool-2 (deleted)"), "oldtool-2");
}

TEST(ProcNetTable, ReadsAddressesAndPortsInNetworkOrder) {
    std::vector<InetSocket> sockets;
    ASSERT_TRUE(ParseProcNetTable(
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:0050 0200000A:C351 01 00000000:00000000 00:00000000 00000000  1000 0 "
        "12345 1 0 20 4 30 10 -1\n"
        "   1: 0100007F:0050 short\n"
        "   2: 0100007F:0050 0200000A:C351 01 00000000:00000000 00:00000000 00000000  1000 0 "
        "notanumber 1\n",
        InetFamily::V4, sockets));
    ASSERT_EQ(sockets.size(), 1u);
    const auto* local = reinterpret_cast<const unsigned char*>(&sockets[0].localAddr);
    EXPECT_EQ(local[0], 127);
    EXPECT_EQ(local[3], 1);
    EXPECT_EQ(ntohs(sockets[0].localPort), 80);
    EXPECT_EQ(ntohs(sockets[0].remotePort), 50001);
    EXPECT_EQ(ntohl(sockets[0].remoteAddr), 0x0A000002u);
    EXPECT_EQ(sockets[0].state, 1);
    EXPECT_EQ(sockets[0].inode, 12345u);
    EXPECT_FALSE(ParseProcNetTable("", InetFamily::V4, sockets));
    EXPECT_FALSE(ParseProcNetTable("0: 0100007F:0050\n", InetFamily::V4, sockets));

    // tcp6: four words, each printed as the IPv4 address is; an IPv4 line
    // in an IPv6 table does not parse.
    sockets.clear();
    ASSERT_TRUE(ParseProcNetTable(
        "  sl  local_address                         remote_address                        st\n"
        "   0: 00000000000000000000000001000000:1F90 0000000000000000FFFF00000100007F:C351 01 "
        "00000000:00000000 00:00000000 00000000     0        0 777 1\n"
        "   1: 0100007F:0050 0200000A:C351 01 00000000:00000000 00:00000000 00000000  1000 0 "
        "12345 1 0 20 4 30 10 -1\n",
        InetFamily::V6, sockets));
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_TRUE(sockets[0].v6);
    std::array<uint8_t, 16> loopback{};
    loopback[15] = 1;
    EXPECT_EQ(sockets[0].local6, loopback);
    std::array<uint8_t, 16> mapped{};
    mapped[10] = mapped[11] = 0xFF;
    mapped[12] = 127;
    mapped[15] = 1;
    EXPECT_EQ(sockets[0].remote6, mapped);
    EXPECT_EQ(ntohs(sockets[0].localPort), 8080);
    EXPECT_EQ(sockets[0].inode, 777u);
}

TEST(DesktopEntry, ReadsTheMainGroupOnly) {
    DesktopEntry entry = ParseDesktopEntry("# comment\n[Desktop Entry]\nName=Editor\n"
                                           "Exec=env LANG=C \"/opt/my editor/bin/ed\" %F\r\n"
                                           "TryExec = ed\nIcon=accessories-text-editor\n"
                                           "[Desktop Action new]\nIcon=other\nExec=ed --new\n");
    EXPECT_EQ(entry.icon, "accessories-text-editor");
    EXPECT_EQ(entry.tryExec, "ed");
    EXPECT_EQ(ExecProgram(entry.exec), "/opt/my editor/bin/ed");
    EXPECT_EQ(ExecProgram("firefox-esr %u"), "firefox-esr");
    EXPECT_EQ(ExecProgram(""), "");
    // The desktop entry's own escapes inside quotes; a backslash elsewhere
    // stays as written.
    EXPECT_EQ(ExecProgram(R"("/opt/a \"b\"/c\\d\e" %u)"), R"(/opt/a "b"/c\d\e)");
    EXPECT_EQ(ExecProgram(R"(/opt/c\\d)"), R"(/opt/c\\d)");
}

namespace {

// A sock_diag reply message for one socket, nlmsg_len as given.
std::string DiagMessage(uint32_t inode, uint32_t length) {
    std::string message(NLMSG_ALIGN(length), '\0');
    nlmsghdr header{};
    header.nlmsg_len = length;
    header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    std::memcpy(message.data(), &header, sizeof header);
    inet_diag_msg diag{};
    diag.idiag_state = 10;
    diag.idiag_inode = inode;
    diag.id.idiag_sport = htons(80);
    std::memcpy(message.data() + NLMSG_HDRLEN, &diag,
                std::min<size_t>(sizeof diag, message.size() - NLMSG_HDRLEN));
    return message;
}

std::string Done() {
    std::string message(NLMSG_HDRLEN, '\0');
    nlmsghdr header{};
    header.nlmsg_len = NLMSG_HDRLEN;
    header.nlmsg_type = NLMSG_DONE;
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

SockDiagPart Parse(const std::string& datagram, std::vector<InetSocket>& sockets) {
    return ParseSockDiagReply(datagram.data(), datagram.size(), sockets);
}

} // namespace

// Only the kernel writes there, but no length in a reply is trusted: each is
// checked against the bytes received before it is used.
TEST(SockDiagReply, LengthsAreCheckedAgainstWhatWasReceived) {
    const uint32_t full = NLMSG_LENGTH(sizeof(inet_diag_msg));
    std::vector<InetSocket> sockets;
    EXPECT_EQ(Parse(DiagMessage(7, full) + DiagMessage(8, full) + Done(), sockets),
              SockDiagPart::Done);
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_EQ(sockets[1].inode, 8u);
    EXPECT_EQ(sockets[1].localPort, htons(80));

    sockets.clear();
    EXPECT_EQ(Parse(DiagMessage(7, full), sockets), SockDiagPart::More);
    EXPECT_EQ(sockets.size(), 1u);

    // An unaligned last length: the padding it implies is not there.
    sockets.clear();
    std::string unaligned = DiagMessage(9, full + 1);
    unaligned.resize(full + 1);
    EXPECT_EQ(Parse(unaligned, sockets), SockDiagPart::More);
    EXPECT_EQ(sockets.size(), 1u);

    // Lengths past the datagram, below a header, or a datagram cut short.
    for (uint32_t length : {full + 64, 4u, 0u}) {
        sockets.clear();
        std::string message = DiagMessage(1, full);
        uint32_t forged = length;
        std::memcpy(message.data(), &forged, sizeof forged);
        EXPECT_EQ(Parse(message, sockets), SockDiagPart::Failed) << length;
        EXPECT_TRUE(sockets.empty());
    }
    sockets.clear();
    EXPECT_EQ(Parse(DiagMessage(1, full).substr(0, 10), sockets), SockDiagPart::Failed);
}

// An io_uring descriptor's fdinfo: the ring's inode, and the sockets among
// its listed fixed files, however the text is cut as it is read; a file
// whose path only looks like a socket's, a line longer than any slot's, or
// a slot list the kernel withheld, names none.
TEST(RingFiles, TheListedSocketsOfTheRingAndNoOthers) {
    const std::string head = "pos:\t0\nflags:\t02000002\nmnt_id:\t17\nino:\t64190378\n"
                             "SqMask:\t0x3\nSqThread:\t-1\n";
    const std::string text = head +
                             "UserFiles:\t12\n    0: socket:[64190379]\n    2: /etc/passwd\n" +
                             "    3: /tmp/a: socket:[5]\n    4: /" + std::string(20000, 'x') +
                             "\n   11: socket:[7]\nUserBufs:\t0\n    4: socket:[9]\nPollList:\n";
    for (size_t cut : {text.size(), size_t{1}, size_t{7}, size_t{4096}}) {
        RingFilesReader reader;
        for (size_t at = 0; at < text.size(); at += cut)
            reader.Feed(std::string_view(text).substr(at, cut));
        std::optional<RingFiles> files = reader.Finish();
        ASSERT_TRUE(files) << cut;
        EXPECT_EQ(files->ring, 64190378u);
        EXPECT_TRUE(files->shown);
        EXPECT_EQ(files->slots, 12u);
        EXPECT_EQ(files->listed, 4u) << cut; // the overlong line is no slot
        EXPECT_EQ(files->sockets, (std::vector<uint64_t>{64190379u, 7u})) << cut;
    }

    // The lock was busy: the slots are counted and not listed, or (newer
    // kernels) not shown at all.
    std::optional<RingFiles> files = ParseRingFiles(head + "UserFiles:\t3\nUserBufs:\t0\n");
    ASSERT_TRUE(files);
    EXPECT_TRUE(files->shown);
    EXPECT_EQ(files->listed, 0u);
    files = ParseRingFiles(head + "UserBufs:\t0\n");
    ASSERT_TRUE(files);
    EXPECT_FALSE(files->shown);
    EXPECT_TRUE(files->sockets.empty());

    EXPECT_FALSE(ParseRingFiles("pos:\t0\nUserFiles:\t1\n    0: socket:[1]\n")); // no ino
    EXPECT_FALSE(ParseRingFiles(""));
}
