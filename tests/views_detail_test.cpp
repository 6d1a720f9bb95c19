// The detail pane's pixels and lines, and the file version readers over PE
// images the test builds and programs this machine's packages own.
#include <QAccessible>
#include <QApplication>
#include <QGlyphRun>
#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <QTextLayout>
#include <arpa/inet.h>
#include <elf.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <shellapi.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/font_mapper.h>
#include <ombrel/icon_pixmap.h>
#include <ombrel/icons.h>
#include <ombrel/services.h>

#include "detail_view.h"
#include "file_identity.h"
#include "file_version.h"
#include "gradient.h"
#include "pe_builder.h"
#include "platform/core/current_refresh.h"
#include "platform/linux/base/fd.h"
#include "platform/linux/metadata/appstream.h"
#include "platform/linux/metadata/dpkg.h"
#include "platform/linux/metadata/icon_theme.h"
#include "platform/linux/programs/identified_file.h"
#include "platform/linux/refresh/refresh_context.h"
#include "port_entry.h"
#include "port_table.h"
#include "temp_dir.h"

using namespace pe_builder;

namespace {

QRgb Rgb(COLORREF c) {
    return qRgb(GetRValue(c), GetGValue(c), GetBValue(c));
}

QImage Render(int width, int height) {
    CDetailView pane;
    pane.resize(width, height);
    return pane.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

const std::vector<Table> kEnglish = {
    {"040904b0", {{"CompanyName", u"Brightwater Tools"}, {"FileDescription", u"Port probe"}}}};
const uint32_t kEnUnicode = 0x04B00409u; // language 0409, code page 04b0

std::string VersionText(const std::string& path, int size = 260) {
    std::vector<char> buffer(static_cast<size_t>(size), '#');
    if (!GetFileVersionText(path.c_str(), buffer.data(), size))
        return "<none>";
    return std::string(buffer.data());
}

struct Strings {
    int result;
    std::string description, company;
};

Strings FileStrings(const std::string& path) {
    char description[260] = "untouched";
    char company[260] = "untouched";
    int result = GetFileStrings(path.c_str(), description, company);
    return {result, description, company};
}

} // namespace

TEST(Gradient, BandsOfTheStripAtHeight120) {
    QImage image = Render(300, 120);
    auto at = [&](int y) { return image.pixel(2, y); };
    for (int y = 0; y <= 5; ++y)
        EXPECT_EQ(at(y), Rgb(0xFFF7EC)) << y;
    for (int y = 18; y <= 24; ++y)
        EXPECT_EQ(at(y), Rgb(0xFFF8EF)) << y;
    for (int y = 113; y <= 119; ++y)
        EXPECT_EQ(at(y), Rgb(0xFFFEFE)) << y;
    EXPECT_EQ(image.pixel(29, 8), Rgb(0xFFF7ED)); // band 1, the strip's last column
    EXPECT_EQ(image.pixel(30, 8), Rgb(0xFFF7EC)); // the background beside it
    EXPECT_EQ(image.pixel(299, 119), Rgb(0xFFF7EC));
}

TEST(Gradient, ShortStripsAndTheSinglePrecisionGap) {
    QImage tall = Render(60, 100);
    EXPECT_EQ(tall.pixel(2, 98), Rgb(0xFFFEFE));
    EXPECT_EQ(tall.pixel(2, 99), Rgb(0xFFF7EC)); // the last band ends at 99
    // Below 19 pixels each band is one pixel high.
    QImage low = Render(60, 10);
    for (int y = 1; y < 10; ++y)
        EXPECT_GT(qRed(low.pixel(2, y)), qRed(low.pixel(2, y - 1))) << y;
}

TEST(Gradient, NothingToPaintLeavesThePixels) {
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::red);
    QPainter painter(&image);
    FillGradient(&painter, RECT{0, 0, 30, 0}, 0xFFF7EC, 0xFFFFFF, 1);
    FillGradient(&painter, RECT{0, 0, 30, 40}, 0x123456, 0x123456, 1);
    FillGradient(nullptr, RECT{0, 0, 30, 40}, 0, 0xFFFFFF, 1);
    // Side by side: the colour changes to the right.
    FillGradient(&painter, RECT{0, 35, 20, 40}, 0x000000, 0x0000FF, 0);
    painter.end();
    EXPECT_EQ(image.pixel(10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(0, 36), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(19, 36), qRgb(19 * 255 / 20, 0, 0));
    EXPECT_EQ(image.pixel(20, 36), qRgb(255, 0, 0));
}

// Run under a Chinese locale too (ctest views.zh-locale): the same pixels.
TEST(DetailPane, TheCaptionRisesFromTheBottomInItsSixteenPixelCell) {
    QImage image = Render(300, 120);
    int top = 120, bottom = -1, left = 300, right = -1;
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 300; ++x)
            if (qGray(image.pixel(x, y)) < 128) { // text, not the pale colours
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                left = std::min(left, x);
                right = std::max(right, x);
            }
    ASSERT_GE(bottom, 0) << "no caption drawn";
    // The cell's top edge runs up x = 7; its glyphs fill most of 16 pixels.
    EXPECT_EQ(left, 7);
    EXPECT_GE(right, 19);
    EXPECT_LT(right, 7 + 16);
    EXPECT_LE(bottom, 116);
    EXPECT_GT(bottom, 108);
    EXPECT_LT(top, 66); // four characters of 14 pixels or more upward
}

// Each face that draws Chinese text gives the Simplified forms ("直" differs
// from its Japanese form), the dialog face a Song-style design.
TEST(Fonts, ChineseTextsTakeSimplifiedChineseGlyphs) {
    QFont saved = QApplication::font();
    ombrel::platform::UseSimplifiedChineseGlyphs();
    const QFont fonts[] = {QApplication::font(), ombrel::platform::MappedFont("宋体"),
                           ombrel::platform::MappedFont("Arial")};
    QApplication::setFont(saved);
    for (const QFont& font : fonts) {
        QTextLayout layout(QStringLiteral("详细信息直"), font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        QList<QGlyphRun> runs = layout.glyphRuns();
        ASSERT_FALSE(runs.empty());
        for (const QGlyphRun& run : runs)
            EXPECT_TRUE(run.rawFont().familyName().endsWith(" SC"))
                << font.families().join(',').toStdString() << ": "
                << run.rawFont().familyName().toStdString();
    }
    EXPECT_TRUE(QFontInfo(fonts[1]).family().contains("Serif"))
        << QFontInfo(fonts[1]).family().toStdString();
}

TEST(DetailPane, CopyOfTheEntryAndItsLines) {
    CDetailView pane;
    EXPECT_TRUE(pane.TextLines().empty());
    PortEntry entry{};
    pane.SetEntry(&entry);
    ASSERT_NE(pane.GetEntry(), nullptr);
    ASSERT_NE(pane.GetEntry(), &entry);
    auto lines = pane.TextLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].y, 10);
    EXPECT_EQ(lines[0].text, "文件 : ");
    EXPECT_EQ(lines[1].y, 30);
    EXPECT_EQ(lines[1].text, "<文件不存在>");

    // The copy is the whole record: the longest IPv6 texts and the family
    // at its end.
    const char* longest = "fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%abcdefghijklmno";
    std::strcpy(entry.localAddress, longest);
    std::strcpy(entry.remoteAddress, longest);
    entry.family = 23;
    pane.SetEntry(&entry);
    EXPECT_STREQ(pane.GetEntry()->localAddress, longest);
    EXPECT_STREQ(pane.GetEntry()->remoteAddress, longest);
    EXPECT_EQ(pane.GetEntry()->family, 23);
    entry = PortEntry{};
    pane.SetEntry(&entry);

    TempDir dir;
    std::strcpy(entry.processPath, dir.path().c_str()); // a directory
    pane.SetEntry(&entry);
    EXPECT_EQ(pane.TextLines()[1].text, "<文件不存在>");
    std::strcpy(entry.processPath, "/no/such/program");
    pane.SetEntry(&entry);
    EXPECT_EQ(pane.TextLines()[0].text, "文件 : /no/such/program");

    // An existing file without version information: the labels alone.
    std::string plain = dir.Write("plain.txt", "no resource here");
    SetProgram(entry, plain);
    pane.SetEntry(&entry);
    lines = pane.TextLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].text, "版本: ");
    EXPECT_EQ(lines[2].text, "描述: ");
    EXPECT_EQ(lines[3].text, "公司: ");
    EXPECT_EQ(lines[3].y, 70);

    // A program with a version resource.
    std::string program = dir.path() + "/probe.exe";
    Save(program, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish)));
    SetProgram(entry, program);
    pane.SetEntry(&entry);
    lines = pane.TextLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].text, "版本: 1.2.3.4");
    EXPECT_EQ(lines[2].text, "描述: Port probe");
    EXPECT_EQ(lines[3].text, "公司: Brightwater Tools");

    // A process's name, bare or in the brackets it shows in, is not a file:
    // one of that name in the current directory is not the program.
    Save(dir.path() + "/[probe.exe]",
         Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish)));
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    for (const char* name : {"probe.exe", "[probe.exe]"}) {
        ASSERT_EQ(::chdir(dir.path().c_str()), 0);
        entry.programFile = {};
        std::strcpy(entry.processPath, name);
        pane.SetEntry(&entry);
        lines = pane.TextLines();
        ASSERT_EQ(::chdir(previous), 0);
        ASSERT_EQ(lines.size(), 2u) << name;
        EXPECT_EQ(lines[1].text, "<文件不存在>") << name;
    }

    pane.SetEntry(nullptr);
    EXPECT_EQ(pane.GetEntry(), nullptr);
    pane.SetEntry(nullptr);
}

// The pane is only painted: a screen reader reads its caption and its four
// lines through the accessibility interface.
TEST(DetailPane, AScreenReaderReadsTheCaptionAndTheLines) {
    TempDir dir;
    std::string program = dir.path() + "/probe.exe";
    Save(program, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish)));
    CDetailView pane;
    PortEntry entry{};
    SetProgram(entry, program);
    pane.SetEntry(&entry);
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(&pane);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->text(QAccessible::Name), "详细信息");
    EXPECT_EQ(reader->text(QAccessible::Description),
              QString::fromStdString("文件 : " + program +
                                     "\n版本: 1.2.3.4\n描述: Port probe\n公司: Brightwater Tools"));
    pane.SetEntry(nullptr);
    EXPECT_EQ(reader->text(QAccessible::Description), "");
}

TEST(DetailPane, IsExistingFileWantsAFile) {
    TempDir dir;
    EXPECT_FALSE(IsExistingFile(""));
    EXPECT_FALSE(IsExistingFile(dir.path().c_str()));
    EXPECT_TRUE(IsExistingFile(dir.Write("f").c_str()));
    EXPECT_FALSE(IsExistingFile((dir.path() + "/missing").c_str()));
}

TEST(FileVersion, FixedVersionOfPe32AndPe32PlusImages) {
    TempDir dir;
    for (bool plus : {false, true}) {
        std::string path = dir.path() + (plus ? "/64.exe" : "/32.exe");
        Save(path, Image(Version(Fixed(0x00010002, 0x00030004, 0x00090008, 0x00070006),
                                 {kEnUnicode}, kEnglish),
                         plus));
        EXPECT_EQ(VersionText(path), "1.2.3.4") << plus;
        Strings strings = FileStrings(path);
        EXPECT_EQ(strings.result, 1);
        EXPECT_EQ(strings.description, "Port probe");
        EXPECT_EQ(strings.company, "Brightwater Tools");
    }
}

TEST(FileVersion, TheTextReaderStopsAt8191Bytes) {
    TempDir dir;
    auto sized = [&](const std::string& name, DWORD target) {
        std::string path = dir.path() + "/" + name;
        auto build = [&](size_t padding) {
            Save(path, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode},
                                     {{"040904b0",
                                       {{"CompanyName", u"Brightwater Tools"},
                                        {"Comments", std::u16string(padding, u'x')}}}})));
            DWORD handle = 7;
            DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
            EXPECT_EQ(handle, 0u);
            return size;
        };
        DWORD base = build(100);
        EXPECT_EQ(build(100 + target - base), target);
        return path;
    };
    std::string fits = sized("fits.exe", 8191);
    std::string over = sized("over.exe", 8192);
    EXPECT_EQ(VersionText(fits), "1.2.3.4");
    EXPECT_EQ(VersionText(over), "<none>");
    std::vector<char> buffer(260, '#');
    GetFileVersionText(over.c_str(), buffer.data(), 260);
    EXPECT_EQ(buffer[0], '#'); // untouched
    EXPECT_EQ(FileStrings(over).company, "Brightwater Tools");
}

TEST(FileVersion, TranslationsAndBuffersAsTheCallerGaveThem) {
    TempDir dir;
    std::string noTranslation = dir.path() + "/a.exe";
    Save(noTranslation, Image(Version(Fixed(0x00020000, 0, 0, 0), {}, kEnglish)));
    EXPECT_EQ(VersionText(noTranslation), "2.0.0.0");
    Strings none = FileStrings(noTranslation);
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.description, "untouched");
    EXPECT_EQ(none.company, "untouched");

    // FileDescription only under the second translation: not consulted.
    std::string second = dir.path() + "/b.exe";
    Save(second, Image(Version(Fixed(0, 0, 0, 0), {kEnUnicode, 0x04B00804u},
                               {{"040904b0", {{"CompanyName", u"First"}}},
                                {"080404b0", {{"FileDescription", u"Second"}}}})));
    Strings strings = FileStrings(second);
    EXPECT_EQ(strings.result, 1);
    EXPECT_EQ(strings.description, "untouched");
    EXPECT_EQ(strings.company, "First");

    char company[260] = "";
    EXPECT_EQ(GetFileStrings(second.c_str(), nullptr, company), 1);
    EXPECT_STREQ(company, "First");
    char one = 'x';
    EXPECT_EQ(GetFileVersionText(second.c_str(), &one, 1), 1);
    EXPECT_EQ(one, '\0');
    EXPECT_EQ(GetFileVersionText(second.c_str(), &one, 0), 0);
    EXPECT_EQ(FileStrings(dir.path() + "/missing.exe").result, 0);
    EXPECT_EQ(VersionText(dir.path() + "/missing.exe"), "<none>");
}

TEST(FileVersion, OverlongAndShortValuesAreHandledSafely) {
    TempDir dir;
    // 10,000 characters of three bytes each: cut to 258 bytes, whole characters.
    std::u16string longText(10000, u'\u7248');
    std::string path = dir.path() + "/long.exe";
    Save(path, Image(Version(Fixed(0, 0, 0, 0), {kEnUnicode},
                             {{"040904b0", {{"FileDescription", longText}}}})));
    Strings strings = FileStrings(path);
    EXPECT_EQ(strings.result, 1);
    EXPECT_EQ(strings.description.size(), 258u);
    EXPECT_EQ(strings.description.substr(0, 3), "版");

    // Fixed information shorter than its record, a translation shorter than
    // one entry: not found.
    std::string shortFixed = dir.path() + "/short.exe";
    Node root = Version(std::vector<uint8_t>(20, 1), {kEnUnicode}, kEnglish);
    root.children[0].children[0].binary.resize(2);
    Save(shortFixed, Image(root));
    EXPECT_EQ(VersionText(shortFixed), "<none>");
    EXPECT_EQ(FileStrings(shortFixed).result, 0);
}

TEST(FileVersion, MalformedImagesGiveNoVersion) {
    TempDir dir;
    std::vector<uint8_t> good =
        Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish));
    std::string path = dir.path() + "/bad.exe";
    // Every truncation: no crash, and either nothing or the whole answer.
    for (size_t length = 0; length < good.size(); length += 7) {
        Save(path, std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(length)));
        std::string text = VersionText(path);
        EXPECT_TRUE(text == "<none>" || text == "1.2.3.4") << length;
    }
    // A node length pointing past the resource's end.
    std::vector<uint8_t> resource;
    Write(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish), resource);
    Put16(resource, 0, 0xFFF0);
    Save(path, Image(resource, false));
    EXPECT_EQ(VersionText(path), "<none>");
    EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), nullptr), 0u);
    // A value length past its node.
    Node root = Version(Fixed(1, 2, 3, 4), {kEnUnicode}, kEnglish);
    root.valueLengthOverride = 4000;
    Save(path, Image(root));
    EXPECT_EQ(VersionText(path), "<none>");
}

TEST(FileVersion, BlockQueriesStayInsideAShortenedCopy) {
    TempDir dir;
    std::string path = dir.path() + "/v.exe";
    Save(path, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish)));
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    ASSERT_GT(size, 100u);
    std::vector<uint8_t> block(size, 0xEE);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, 100, block.data()));
    LPVOID value = nullptr;
    UINT length = 0;
    EXPECT_FALSE(
        VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\CompanyName", &value, &length));
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    ASSERT_TRUE(
        VerQueryValueA(block.data(), "\\stringfileinfo\\040904B0\\companyname", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "Brightwater Tools");
    EXPECT_EQ(length, 18u);
    EXPECT_FALSE(
        VerQueryValueA(block.data(), "\\StringFileInfo\\08040000\\CompanyName", &value, &length));
}

TEST(FileVersion, PackageOwnedProgramsSpeakThroughTheirPackage) {
    TempDir db;
    std::string program = db.Write("bin/porttool", "#!/bin/true\n");
    db.Write("dpkg/status", "Package: other\nStatus: install ok installed\nVersion: 1.0\n\n"
                            "Package: porttool\nStatus: install ok installed\nPriority: optional\n"
                            "Maintainer: Ana Lima <ana@example.org>\nArchitecture: amd64\n"
                            "Version: 1:2.38.1-5+deb12u3\nDescription: probe ports quickly\n"
                            " A longer text that is not shown.\n\n"
                            "Package: gone\nStatus: deinstall ok config-files\nVersion: 3\n");
    db.Write("dpkg/info/porttool:amd64.list", "/.\n/usr\n" + program + "\n");
    db.Write("dpkg/info/gone.list", db.path() + "/bin/gonetool\n");
    {
        ombrel::platform::PackageDatabaseOverride database(db.path() + "/dpkg");
        EXPECT_EQ(VersionText(program), "2.38.1.0");
        Strings strings = FileStrings(program);
        EXPECT_EQ(strings.result, 1);
        EXPECT_EQ(strings.description, "probe ports quickly");
        EXPECT_EQ(strings.company, "Ana Lima <ana@example.org>");
        std::string gone = db.Write("bin/gonetool");
        EXPECT_EQ(VersionText(gone), "<none>");
    }

    // This machine's own: dpkg lists /bin/ls, the program is /usr/bin/ls.
    Strings ls = FileStrings("/usr/bin/ls");
    EXPECT_EQ(ls.result, 1);
    EXPECT_EQ(ls.description, "GNU core utilities");
    EXPECT_NE(ls.company, "untouched");
    EXPECT_NE(VersionText("/usr/bin/ls"), "<none>");
}

// The upstream version alone: no epoch, no Debian revision, nothing a
// packager appended.
TEST(FileVersion, VersionNumbersOfPackageVersions) {
    using V = std::vector<unsigned>;
    using ombrel::platform::VersionNumbers;
    EXPECT_EQ(VersionNumbers("9.1-1"), (V{9, 1, 0, 0}));
    EXPECT_EQ(VersionNumbers("1:2.38.1-5+deb12u3"), (V{2, 38, 1, 0}));
    EXPECT_EQ(VersionNumbers("2.36-9+deb12u4"), (V{2, 36, 0, 0}));
    EXPECT_EQ(VersionNumbers("1:9.2p1-2+deb12u6"), (V{9, 2, 1, 0}));
    EXPECT_EQ(VersionNumbers("20230311+deb12u1"), (V{2023, 3, 11, 0}));
    EXPECT_EQ(VersionNumbers("1.3.4.20200120-3.1"), (V{1, 3, 4, 0}));
    EXPECT_EQ(VersionNumbers("5.2.15-2+b2~rc1"), (V{5, 2, 15, 0}));
    EXPECT_EQ(VersionNumbers("1.0~rc1-1"), (V{1, 0, 0, 0}));
    EXPECT_EQ(VersionNumbers("99999999999999999999.1"), (V{0, 0, 0, 0}));
    EXPECT_EQ(VersionNumbers(""), (V{0, 0, 0, 0}));
}

// A path two packages list belongs to the package that diverted it, and
// the moved file to the package it came from, whichever list is read first.
TEST(FileVersion, DivertedPathsBelongToTheDivertingPackage) {
    for (bool divertingFirst : {true, false}) {
        TempDir db;
        db.Write("dpkg/status", "Package: aaa-original\nStatus: install ok installed\n"
                                "Version: 1.0-1\nDescription: the original\n\n"
                                "Package: zzz-diverter\nStatus: install ok installed\n"
                                "Version: 2.0-1\nDescription: the diverter\n\n");
        std::string tool = db.path() + "/bin/tool";
        // Lists are read in directory order, which on some file systems is
        // the order they were made in.
        db.Write(divertingFirst ? "dpkg/info/zzz-diverter.list" : "dpkg/info/aaa-original.list",
                 tool + "\n");
        db.Write(divertingFirst ? "dpkg/info/aaa-original.list" : "dpkg/info/zzz-diverter.list",
                 tool + "\n");
        db.Write("dpkg/diversions", tool + "\n" + tool + ".real\nzzz-diverter\n");
        ombrel::platform::PackageDatabaseOverride database(db.path() + "/dpkg");
        auto owner = ombrel::platform::FindPackageOwner(tool);
        ASSERT_TRUE(owner.has_value());
        EXPECT_EQ(owner->name, "zzz-diverter");
        auto moved = ombrel::platform::FindPackageOwner(tool + ".real");
        ASSERT_TRUE(moved.has_value());
        EXPECT_EQ(moved->name, "aaa-original");
    }
}

// Only a package whose status word is "installed" speaks for its files: one
// half-installed, unpacked, half-configured or awaiting triggers does not.
TEST(FileVersion, OnlyAnInstalledPackageOwnsItsFiles) {
    TempDir db;
    std::string status;
    const char* states[] = {"install ok installed",
                            "deinstall ok installed",
                            "install reinstreq half-installed",
                            "install ok unpacked",
                            "install ok half-configured",
                            "install ok triggers-awaited",
                            "install ok triggers-pending",
                            "purge ok not-installed",
                            "deinstall ok config-files",
                            "install ok installed extra"};
    for (size_t n = 0; n < std::size(states); ++n) {
        std::string name = "p" + std::to_string(n);
        status += "Package: " + name + "\nStatus: " + states[n] + "\nVersion: 1.0\n\n";
        db.Write("dpkg/info/" + name + ".list", db.path() + "/bin/" + name + "\n");
    }
    db.Write("dpkg/status", status);
    ombrel::platform::PackageDatabaseOverride database(db.path() + "/dpkg");
    for (size_t n = 0; n < std::size(states); ++n)
        EXPECT_EQ(ombrel::platform::FindPackageOwner(db.path() + "/bin/p" + std::to_string(n))
                      .has_value(),
                  n < 2)
            << states[n];
}

// An application's own metadata: the untranslated texts, the newest
// release, either form of the developer; markup and entities read as XML.
TEST(FileVersion, AppStreamMetadataInAPackagesTerms) {
    using ombrel::platform::ParseAppStream;
    auto info =
        ParseAppStream("<?xml version=\"1.0\"?><!-- <name>not this</name> -->\n"
                       "<component type=\"desktop-application\"><id>org.example.App</id>\n"
                       "  <name xml:lang=\"de\">Beispiel</name><name>Example</name>\n"
                       "  <summary>Shows   &amp; tells\n  &#x2713;</summary>\n"
                       "  <developer_name>Old Form</developer_name>\n"
                       "  <developer id=\"org.example\"><name>Example Team</name></developer>\n"
                       "  <releases><release version=\"2.7.1\" date=\"2026-01-02\"/>\n"
                       "    <release version='2.7.0'/></releases></component>");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->name, "Example");
    EXPECT_EQ(info->description, "Shows & tells \u2713");
    EXPECT_EQ(info->maintainer, "Example Team");
    EXPECT_EQ(info->version, "2.7.1");
    auto old = ParseAppStream("<component><developer_name>Old Form</developer_name></component>");
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->maintainer, "Old Form");
    // The whole grammar: CDATA, an entity the document declares, a comment
    // and a processing instruction amid the text.
    auto full = ParseAppStream("<!DOCTYPE component [<!ENTITY team \"The &amp; Team\">]>\n"
                               "<component><name><![CDATA[A <b>&amp;</b> B]]></name>"
                               "<summary>One<!-- two -->Three<?pi x?> four</summary>"
                               "<developer><name>&team;</name></developer></component>");
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->name, "A <b>&amp;</b> B");
    EXPECT_EQ(full->description, "OneThree four");
    EXPECT_EQ(full->maintainer, "The & Team");
    // Cut short, outside a component, not well formed, or entities that
    // grow without bound: it says nothing.
    std::string laughs = "<!DOCTYPE component [<!ENTITY a \"aaaaaaaaaaaaaaaa\">";
    for (char level = 'b'; level <= 'k'; ++level) {
        laughs += std::string("<!ENTITY ") + level + " \"";
        for (int i = 0; i < 16; ++i)
            laughs += std::string("&") + static_cast<char>(level - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><component><name>&k;</name></component>";
    EXPECT_FALSE(ParseAppStream(laughs).has_value());
    // Nor one whose one entity, used again and again, grows a hundredfold.
    std::string wide =
        "<!DOCTYPE component [<!ENTITY w \"" + std::string(300, 'w') + "\">]><component><name>";
    for (int i = 0; i < 3000; ++i)
        wide += "&w;";
    EXPECT_FALSE(ParseAppStream(wide + "</name></component>").has_value());
    // A field is its first element's own: not one inside a translation,
    // nor a second of its kind.
    auto first = ParseAppStream("<component><name>First</name><name>Second</name>"
                                "<developer xml:lang=\"de\"><name>Entwickler</name></developer>"
                                "<developer><name>Developer</name></developer></component>");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->name, "First");
    EXPECT_EQ(first->maintainer, "Developer");
    for (const char* bad : {"", "<component><name>Cut", "<name>Loose</name>", "<component",
                            "<!-- <component><name>x</name></component>",
                            "<component><name>Crossed<summary></name></summary></component>",
                            "<component><name>&undeclared;</name></component>"})
        EXPECT_FALSE(ParseAppStream(bad).has_value()) << bad;
}

// Another user's program, seen by an administrator window that runs as its
// user: one the user may not read, or may not even look up, shows its path
// and empty labels, never "no such file".
TEST(DetailPane, AProgramTheUserMayNotReadShowsEmptyLabels) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    std::string unreadable = dir.path() + "/unreadable.exe";
    Save(unreadable, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish)));
    ::chmod(unreadable.c_str(), 0700);
    std::string closed = dir.Write("closed/probe.exe", "x");
    ::chmod((dir.path() + "/closed").c_str(), 0700);
    // The collector gives the window each file's identity.
    ombrel::platform::ProgramFile files[] = {ProgramFileOf(unreadable), ProgramFileOf(closed)};
    pid_t child = ::fork();
    if (child == 0) {
        bool ok = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        CDetailView pane;
        PortEntry entry{};
        int which = 0;
        for (const std::string& path : {unreadable, closed}) {
            std::strcpy(entry.processPath, path.c_str());
            entry.programFile = files[which++];
            pane.SetEntry(&entry);
            auto lines = pane.TextLines();
            ok = ok && lines.size() == 4 && lines[0].text == "文件 : " + path &&
                 lines[1].text == "版本: " && lines[2].text == "描述: " &&
                 lines[3].text == "公司: ";
        }
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {

// A child that cannot start its program says why on its end of a
// close-on-exec pipe: end of file alone means the exec was done (its exit,
// unlike its descriptors, may not yet be seen when the end closes).
[[noreturn]] void FailStart(int pipe, char code) {
    (void)!::write(pipe, &code, 1);
    ::_exit(code);
}

// 0 once the child's exec is done, else the code it failed with.
int StartResult(int pipe) {
    char code = 0;
    ssize_t got;
    while ((got = ::read(pipe, &code, 1)) < 0 && errno == EINTR) {
    }
    ::close(pipe);
    return got == 1 ? code : got == 0 ? 0 : -1;
}

// The refreshed table's TCP listener on 127.0.0.1:port, or nullptr. Other
// processes may use the same port number on other addresses.
PortEntry* TcpEntryOf(CPortTable& table, int port) {
    PortEntry* found = nullptr;
    int index = 0;
    PortEntry* entry = nullptr;
    for (int more = table.GetFirst(index, entry); more == 1; more = table.GetNext(index, entry))
        if (entry != nullptr && entry->localPort == port && entry->protocol == 0 &&
            std::strcmp(entry->localAddress, "127.0.0.1") == 0 && entry->remotePort == 0)
            found = entry;
    return found;
}

// The pane's lines for an entry.
std::vector<std::string> PaneLines(const PortEntry& entry) {
    CDetailView pane;
    pane.SetEntry(&entry);
    std::vector<std::string> texts;
    for (const CDetailView::TextLine& line : pane.TextLines())
        texts.push_back(line.text);
    return texts;
}

const std::vector<std::string> kEmptyLabels = {"", "版本: ", "描述: ", "公司: "};

bool HasEmptyLabels(const std::vector<std::string>& lines) {
    return lines.size() == 4 &&
           std::equal(lines.begin() + 1, lines.end(), kEmptyLabels.begin() + 1);
}

// A program an installed package owns, and the pane's lines for it; empty
// where the package gives it no details here.
const std::string kPackaged = "/usr/bin/env";

std::vector<std::string> PackagedLines() {
    PortEntry real{};
    SetProgram(real, kPackaged);
    std::vector<std::string> lines = PaneLines(real);
    return lines.size() == 4 && lines[1] != kEmptyLabels[1] ? lines : std::vector<std::string>{};
}

// A TCP listener on 127.0.0.1 (type's flags added), its port in port; -1
// where none could be made.
int LoopbackListener(int type, int& port) {
    int listener = ::socket(AF_INET, SOCK_STREAM | type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return listener;
}

} // namespace

// A user in her own user and mount namespace mounts her program over a
// packaged one's path and listens: the kernel's path text is the packaged
// program's, but the details are not the packaged program's.
TEST(ProgramIdentity, AProgramMountedOverAPackagedOneIsNotThePackagedOne) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    const std::string& packaged = kPackaged;
    std::vector<std::string> realLines = PackagedLines();
    if (realLines.empty())
        GTEST_SKIP() << packaged << " has no package details here";

    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    std::string impostor = dir.path() + "/impostor";
    {
        std::ifstream in("/usr/bin/sleep", std::ios::binary);
        std::ofstream(impostor, std::ios::binary) << in.rdbuf();
    }
    ::chmod(impostor.c_str(), 0755);
    int port = 0;
    int listener = LoopbackListener(0, port); // inherited through the exec
    ASSERT_GE(listener, 0);
    int exec[2];
    ASSERT_EQ(::pipe2(exec, O_CLOEXEC), 0); // its end closes when the exec is done
    pid_t child = ::fork();
    if (child == 0) {
        ::close(exec[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            FailStart(exec[1], 2);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(impostor.c_str(), packaged.c_str(), nullptr, MS_BIND, nullptr) != 0)
            FailStart(exec[1], 3);
        ::execl(packaged.c_str(), "env", "100000", static_cast<char*>(nullptr));
        FailStart(exec[1], 4);
    }
    ::close(listener); // the child alone holds it
    ::close(exec[1]);
    int status = 0;
    if (int failed = StartResult(exec[0]); failed != 0) {
        ::waitpid(child, &status, 0);
        if (failed == 2)
            GTEST_SKIP() << "user namespaces are off";
        FAIL() << "the impostor did not start: " << failed;
    }

    CPortTable table;
    table.Refresh();
    PortEntry* found = TcpEntryOf(table, port);
    // Reached through the user's own root while she runs: her file, which
    // no package owns.
    std::vector<std::string> lines;
    if (found != nullptr)
        lines = PaneLines(*found);
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->processId, child);
    EXPECT_STREQ(found->processPath, packaged.c_str()); // the kernel's text
    EXPECT_TRUE(HasEmptyLabels(lines)) << (lines.size() > 1 ? lines[1] : "");
    EXPECT_NE(lines, realLines);
    // Once she is gone, her file cannot be reached: none, not the packaged one.
    lines = PaneLines(*found);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "<文件不存在>");
}

#if defined(__x86_64__)
namespace {

// What a process in its own user namespace needs to point its program link
// at another file: none of its program's own mappings left (the kernel
// refuses while the old file is mapped), so the last steps run from memory
// no file backs. Hand-assembled; its one argument is a ClaimSteps.
//   unmap each range; prctl(PR_SET_MM, PR_SET_MM_MAP, map, size);
//   write the result to report; read wait until its end; exit_group(0)
const unsigned char kClaimCode[] = {
    0x49, 0x89, 0xfc, 0x45, 0x31, 0xed, 0x4d, 0x3b, 0x2c, 0x24, 0x73, 0x1d, 0x4c, 0x89, 0xe8,
    0x48, 0xc1, 0xe0, 0x04, 0x49, 0x8b, 0x7c, 0x04, 0x30, 0x49, 0x8b, 0x74, 0x04, 0x38, 0xb8,
    0x0b, 0x00, 0x00, 0x00, 0x0f, 0x05, 0x49, 0xff, 0xc5, 0xeb, 0xdd, 0xb8, 0x9d, 0x00, 0x00,
    0x00, 0xbf, 0x23, 0x00, 0x00, 0x00, 0xbe, 0x0e, 0x00, 0x00, 0x00, 0x49, 0x8b, 0x54, 0x24,
    0x08, 0x4d, 0x8b, 0x54, 0x24, 0x10, 0x45, 0x31, 0xc0, 0x0f, 0x05, 0x49, 0x89, 0x44, 0x24,
    0x28, 0xb8, 0x01, 0x00, 0x00, 0x00, 0x49, 0x8b, 0x7c, 0x24, 0x18, 0x49, 0x8d, 0x74, 0x24,
    0x28, 0xba, 0x08, 0x00, 0x00, 0x00, 0x0f, 0x05, 0x31, 0xc0, 0x49, 0x8b, 0x7c, 0x24, 0x20,
    0x49, 0x8d, 0x74, 0x24, 0x28, 0xba, 0x08, 0x00, 0x00, 0x00, 0x0f, 0x05, 0x48, 0x85, 0xc0,
    0x7f, 0xe8, 0xb8, 0xe7, 0x00, 0x00, 0x00, 0x31, 0xff, 0x0f, 0x05};

struct ClaimSteps {
    uint64_t count, map, mapSize, report, wait, result;
    uint64_t ranges[64][2]; // address, length
};

// The layout prctl(PR_SET_MM_MAP) takes.
struct MmMap {
    uint64_t startCode, endCode, startData, endData, startBrk, brk, startStack;
    uint64_t argStart, argEnd, envStart, envEnd;
    uint64_t auxv;
    uint32_t auxvSize, exeFd;
};

// In a forked child: becomes nobody in a user namespace of her own, points
// the program link at target and holds the inherited sockets until wait
// ends. Reports the prctl's result (0, or minus errno) on report; returns
// only when it could not get that far.
void ClaimProgram(const std::string& target, int report, int wait) {
    // Dumpable again after the change of user, as a process she started is;
    // the listener hers, made after it, and its port told first.
    int port = 0;
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
        ::prctl(PR_SET_DUMPABLE, 1) != 0 || LoopbackListener(0, port) < 0 ||
        ::write(report, &port, sizeof port) != sizeof port || ::unshare(CLONE_NEWUSER) != 0)
        return;
    int exe = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), {});
    std::vector<uint64_t> fields{0, 0, 0}; // numbered from 1: the pid, the name
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    for (std::string field; rest >> field;)
        fields.push_back(std::strtoull(field.c_str(), nullptr, 10));
    char self[4096] = {};
    if (exe < 0 || fields.size() < 52 || ::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return;
    void* memory = ::mmap(nullptr, 1 << 16, PROT_READ | PROT_WRITE | PROT_EXEC,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return;
    auto* steps = static_cast<ClaimSteps*>(memory);
    auto* map = reinterpret_cast<MmMap*>(steps + 1);
    auto* code = reinterpret_cast<unsigned char*>(map + 1);
    std::memcpy(code, kClaimCode, sizeof kClaimCode);
    *map = {fields[26], fields[27],
            fields[45], fields[46],
            fields[47], static_cast<uint64_t>(::syscall(SYS_brk, 0)),
            fields[28], fields[48],
            fields[49], fields[50],
            fields[51], 0,
            0,          static_cast<uint32_t>(exe)};
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line) && steps->count < 64;) {
        size_t path = line.find('/');
        if (path == std::string::npos || line.substr(path) != self)
            continue;
        uint64_t from = std::strtoull(line.c_str(), nullptr, 16);
        uint64_t to = std::strtoull(line.c_str() + line.find('-') + 1, nullptr, 16);
        steps->ranges[steps->count][0] = from;
        steps->ranges[steps->count++][1] = to - from;
    }
    steps->map = reinterpret_cast<uint64_t>(map);
    steps->mapSize = sizeof *map;
    steps->report = static_cast<uint64_t>(report);
    steps->wait = static_cast<uint64_t>(wait);
    reinterpret_cast<void (*)(ClaimSteps*)>(code)(steps); // never returns
}

} // namespace

// A user in her own user namespace points her listener's program link at a
// packaged program. The kernel then names that program, its device and
// inode included; but the link is her choice, so its details are hers to
// see alone: root sees the path with no icon of its own and no details.
TEST(ProgramIdentity, AProgramLinkSetInAUsersOwnNamespaceLendsNoDetails) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    const std::string& packaged = kPackaged;
    std::vector<std::string> realLines = PackagedLines();
    if (realLines.empty())
        GTEST_SKIP() << packaged << " has no package details here";

    int report[2], wait[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(wait, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        ::close(wait[1]);
        ClaimProgram(packaged, report[1], wait[0]);
        ::_exit(1);
    }
    ::close(report[1]);
    ::close(wait[0]);
    int port = 0;
    int64_t claimed = 1;
    ssize_t got = ::read(report[0], &port, sizeof port) == sizeof port
                      ? ::read(report[0], &claimed, sizeof claimed)
                      : 0;
    ::close(report[0]);
    auto end = [&] {
        ::close(wait[1]);
        int status = 0;
        ::waitpid(child, &status, 0);
    };
    if (got != sizeof claimed || claimed != 0) {
        end();
        GTEST_SKIP() << "the kernel refused the program link: "
                     << (got == sizeof claimed ? std::strerror(static_cast<int>(-claimed))
                                               : "no user namespace");
    }

    CPortTable table;
    table.Refresh();
    PortEntry* found = TcpEntryOf(table, port);
    std::vector<std::string> lines;
    std::string icon;
    if (found != nullptr) {
        lines = PaneLines(*found);
        icon = ombrel::platform::IconSourceFile(found->smallIcon);
    }
    // Her own view of her own process keeps what her link names.
    pid_t viewer = ::fork();
    if (viewer == 0) {
        bool ok = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        CPortTable own;
        own.Refresh();
        PortEntry* mine = TcpEntryOf(own, port);
        ::_exit(ok && mine != nullptr && PaneLines(*mine) == realLines ? 0 : 1);
    }
    int status = 0;
    ::waitpid(viewer, &status, 0);
    end();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->processId, child);
    EXPECT_STREQ(found->processPath, packaged.c_str());
    EXPECT_EQ(found->programFile.claimant, 65534u);
    EXPECT_EQ(lines[0], realLines[0]); // the file is there, as the kernel says
    EXPECT_TRUE(HasEmptyLabels(lines)) << (lines.size() > 1 ? lines[1] : "");
    EXPECT_EQ(icon, ombrel::platform::GenericProgramIconFile());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "her own view";
}

namespace {

// A program that needs no library, so that it runs in a root that holds
// nothing else: it pauses for good.
std::string PausingProgram() {
    const unsigned char code[] = {0xb8, 34, 0, 0, 0, 0x0f, 0x05, 0xeb, 0xf7}; // pause; again
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    const uint64_t base = 0x400000;
    header.e_entry = base + sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr);
    header.e_phoff = sizeof(Elf64_Ehdr);
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = 1;
    Elf64_Phdr segment{};
    segment.p_type = PT_LOAD;
    segment.p_flags = PF_R | PF_X;
    segment.p_vaddr = segment.p_paddr = base;
    segment.p_filesz = segment.p_memsz = sizeof header + sizeof segment + sizeof code;
    segment.p_align = 0x1000;
    std::string image(reinterpret_cast<const char*>(&header), sizeof header);
    image.append(reinterpret_cast<const char*>(&segment), sizeof segment);
    image.append(reinterpret_cast<const char*>(code), sizeof code);
    return image;
}

const QColor kBoxedColour(10, 200, 30);

// A root of its own, as a container's: a package database that lists its
// program, and that program.
void WriteOwnRoot(const TempDir& root) {
    std::string program = root.Write("usr/bin/ombrel-boxed", PausingProgram());
    ::chmod(program.c_str(), 0755);
    std::string other = root.Write("usr/bin/ombrel-other", PausingProgram() + "other");
    ::chmod(other.c_str(), 0755);
    root.Write("var/lib/dpkg/status", "Package: ombrel-boxed\nStatus: install ok installed\n"
                                      "Maintainer: Boxed Makers <box@example.org>\n"
                                      "Version: 1:3.1.4-2\nDescription: a boxed listener\n\n");
    root.Write("var/lib/dpkg/info/ombrel-boxed.list", "/usr\n/usr/bin\n/usr/bin/ombrel-boxed\n");
    root.Write("usr/share/applications/ombrel-boxed.desktop",
               "[Desktop Entry]\nType=Application\nName=Boxed\nExec=ombrel-boxed --serve\n"
               "Icon=ombrel-boxed\n");
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(kBoxedColour);
    std::string iconFile = root.Write("usr/share/ombrel-boxed/icon.png");
    icon.save(QString::fromStdString(iconFile), "PNG");
    // Links are followed as in that root: an absolute target from it, ".."
    // never above it.
    root.Link("usr/share/icons/hicolor/16x16/apps/ombrel-boxed.png",
              "/usr/share/ombrel-boxed/climbing.png");
    root.Link("usr/share/ombrel-boxed/climbing.png",
              "../../../../../usr/share/ombrel-boxed/icon.png");
    root.Write("usr/share/metainfo/ombrel-boxed.metainfo.xml",
               "<component type=\"desktop-application\"><id>ombrel-boxed</id>"
               "<name>Boxed</name><summary>boxed, as its metadata says</summary>"
               "<developer><name>Boxed Developers</name></developer>"
               "<releases><release version=\"2.7.1\"/></releases></component>");
    root.Write("old/.keep");
}

// The icon the shell service gives the program, and its colour at the middle.
std::pair<std::string, QColor> ProgramIcon(const PortEntry& entry) {
    ombrel::platform::ProgramFileScope scope(entry.processPath, entry.programFile);
    SHFILEINFOA info{};
    if (SHGetFileInfoA(entry.processPath, 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON) == 0)
        return {};
    std::string source = ombrel::platform::IconSourceFile(info.hIcon);
    QColor colour = ombrel::platform::IconPixmap(info.hIcon, 16).toImage().pixelColor(8, 8);
    DestroyIcon(info.hIcon);
    return {source, colour};
}

// Runs the program at path inside root, a mount of its own in a mount
// namespace of its own (with other mounted over the program when given),
// holding a listener on loopback; its pid (0 where no such root can be
// made), and the port.
std::pair<pid_t, int> StartInOwnRoot(const std::string& root, const char* other) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {-1, 0};
    int exec[2];
    if (::pipe2(exec, O_CLOEXEC) != 0)
        return {-1, 0};
    pid_t child = ::fork();
    if (child == 0) {
        ::close(exec[0]);
        int held = ::dup(listener); // without close-on-exec: kept through the exec
        const char* program = "/usr/bin/ombrel-boxed";
        if (held < 0 || ::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(root.c_str(), root.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::chdir(root.c_str()) != 0 || ::syscall(SYS_pivot_root, ".", "old") != 0 ||
            ::chdir("/") != 0 || ::umount2("/old", MNT_DETACH) != 0)
            FailStart(exec[1], 2);
        if (other != nullptr && ::mount(other, program, nullptr, MS_BIND, nullptr) != 0)
            FailStart(exec[1], 3);
        char* argv[] = {const_cast<char*>(program), nullptr};
        char* envp[] = {nullptr};
        ::execve(program, argv, envp);
        FailStart(exec[1], 4);
    }
    ::close(listener);
    ::close(exec[1]);
    int failed = StartResult(exec[0]);
    if (failed != 0)
        ::waitpid(child, nullptr, 0);
    if (failed == 2)
        return {0, 0}; // no root of its own can be made here (a chroot, say)
    return {failed == 0 ? child : -1, ntohs(address.sin_port)};
}

} // namespace

// A program in a root of its own, as in a container, whose path names no
// file here: the package database, desktop entries and application metadata
// of its own root speak of it, but only where no user but root could have
// written them beside it.
TEST(ProgramIdentity, AProgramInARootOfItsOwnHasItsOwnRootsPackageDetails) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a mount namespace";
    struct Case {
        const char* name;
        bool listByAUser;    // the package's list written by a user
        bool programByAUser; // the program written by a user
        bool mountedOver;    // another root file mounted over the program
        int details;         // 0 none, 1 its package's, 2 its own metadata's
        bool icon;           // its desktop entry's, not the generic one
    };
    for (const Case& test : {Case{"root's own", false, false, false, 1, true},
                             Case{"list by a user", true, false, false, 2, true},
                             Case{"program by a user", false, true, false, 0, false},
                             Case{"a file mounted over it", false, false, true, 0, false}}) {
        TempDir root;
        WriteOwnRoot(root);
        if (test.listByAUser)
            ::chown((root.path() + "/var/lib/dpkg/info/ombrel-boxed.list").c_str(), 65534, 65534);
        if (test.programByAUser)
            ::chown((root.path() + "/usr/bin/ombrel-boxed").c_str(), 65534, 65534);
        auto [child, port] =
            StartInOwnRoot(root.path(), test.mountedOver ? "/usr/bin/ombrel-other" : nullptr);
        if (child == 0)
            GTEST_SKIP() << "no mount namespace with a root of its own can be made here";
        ASSERT_GT(child, 0) << test.name;
        CPortTable table;
        table.Refresh();
        PortEntry* found = TcpEntryOf(table, port);
        std::vector<std::string> lines;
        std::pair<std::string, QColor> icon;
        if (found != nullptr) {
            lines = PaneLines(*found);
            icon = ProgramIcon(*found);
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ASSERT_NE(found, nullptr) << test.name;
        EXPECT_STREQ(found->processPath, "/usr/bin/ombrel-boxed") << test.name;
        if (test.details == 1) {
            EXPECT_EQ(lines, (std::vector<std::string>{"文件 : /usr/bin/ombrel-boxed",
                                                       "版本: 3.1.4.0", "描述: a boxed listener",
                                                       "公司: Boxed Makers <box@example.org>"}))
                << test.name;
        } else if (test.details == 2) {
            EXPECT_EQ(lines, (std::vector<std::string>{
                                 "文件 : /usr/bin/ombrel-boxed", "版本: 2.7.1.0",
                                 "描述: boxed, as its metadata says", "公司: Boxed Developers"}))
                << test.name;
        } else {
            EXPECT_TRUE(HasEmptyLabels(lines))
                << test.name << ": " << ::testing::PrintToString(lines);
        }
        if (test.icon) {
            EXPECT_EQ(icon.second, kBoxedColour) << test.name << ": " << icon.first;
        } else {
            EXPECT_EQ(icon.first, ombrel::platform::GenericProgramIconFile()) << test.name;
            EXPECT_NE(icon.second, kBoxedColour) << test.name;
        }
    }
}
#endif

// The kernel's program paths hold no link: a path through one names
// another file than the process's, and nothing is opened through it.
TEST(ProgramIdentity, APathThroughALinkIsNotFollowed) {
    TempDir dir;
    std::string program = dir.path() + "/real/probe.exe";
    Save(dir.Write("real/probe.exe"),
         Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {kEnUnicode}, kEnglish)));
    std::string linked = dir.Link("link", dir.path() + "/real") + "/probe.exe";
    ombrel::platform::UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch);
    ASSERT_GE(::inotify_add_watch(watch.get(), (dir.path() + "/real").c_str(), IN_OPEN | IN_ACCESS),
              0);
    auto opens = [&] {
        char events[4096];
        ssize_t got = ::read(watch.get(), events, sizeof events);
        return got > 0;
    };

    PortEntry entry{};
    std::strcpy(entry.processPath, linked.c_str());
    entry.programFile = ProgramFileOf(program); // the very file, by identity
    std::vector<std::string> lines = PaneLines(entry);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "<文件不存在>");
    SHFILEINFOA info{};
    {
        ombrel::platform::ProgramFileScope scope(linked.c_str(), entry.programFile);
        EXPECT_EQ(
            SHGetFileInfoA(linked.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON),
            0u);
    }
    EXPECT_FALSE(opens());

    // The path itself is the file: its details, read from it.
    SetProgram(entry, program);
    lines = PaneLines(entry);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "版本: 1.2.3.4");
    EXPECT_TRUE(opens());
}

namespace {

// A FUSE mount nobody serves: a look-up in it waits until the connection
// ends. Ran in a child, a check's wait ends in the parent's bound rather
// than hang the suite; the bound is the failure, never a pause.
class StuckMount {
public:
    explicit StuckMount(const std::string& point) : point_(point) {
        if (::geteuid() != 0) {
            why_ = "needs root to mount";
            return;
        }
        fuse_ = ombrel::platform::UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
        if (!fuse_) {
            why_ = "no /dev/fuse";
            return;
        }
        std::string options =
            "fd=" + std::to_string(fuse_.get()) + ",rootmode=40000,user_id=0,group_id=0";
        if (::mkdir(point.c_str(), 0755) != 0 ||
            ::mount("ombrel-test", point.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) !=
                0)
            why_ = "cannot mount a FUSE file system here";
        mounted_ = why_.empty();
    }
    ~StuckMount() {
        if (mounted_)
            ::umount2(point_.c_str(), MNT_DETACH);
    }
    // Why no such mount could be made; empty when it was.
    const std::string& Unavailable() const { return why_; }

    // Whether check, run in a child, returned true without waiting on the
    // mount.
    void ExpectInTime(const std::function<bool()>& check) {
        pid_t child = ::fork();
        if (child == 0) {
            fuse_.reset(); // the parent's alone, so that closing it ends the connection
            ::_exit(check() ? 0 : 1);
        }
        ombrel::platform::UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
        pollfd done{process.get(), POLLIN, 0};
        bool ended = ::poll(&done, 1, 30000) == 1;
        ::umount2(point_.c_str(), MNT_DETACH);
        mounted_ = false;
        fuse_.reset(); // ends the connection: a waiter wakes
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(ended) << "waited on the file system's server";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

private:
    std::string point_;
    ombrel::platform::UniqueFd fuse_;
    std::string why_;
    bool mounted_ = false;
};

} // namespace

// A path through a link into a file system whose server never answers: the
// pane and the icon answer at once, with no file.
TEST(ProgramIdentity, ALinkIntoAFileSystemThatNeverAnswersIsNotWaitedOn) {
    TempDir dir;
    std::string mount = dir.path() + "/stuck";
    StuckMount stuck(mount);
    if (!stuck.Unavailable().empty())
        GTEST_SKIP() << stuck.Unavailable();
    std::string linked = dir.Link("link", mount) + "/tool";
    PortEntry entry{};
    std::strcpy(entry.processPath, linked.c_str());
    entry.programFile = ProgramFileOf("/proc/self/exe");

    stuck.ExpectInTime([&] {
        std::vector<std::string> lines = PaneLines(entry);
        SHFILEINFOA info{};
        bool icon = false;
        {
            ombrel::platform::ProgramFileScope scope(linked.c_str(), entry.programFile);
            icon = SHGetFileInfoA(linked.c_str(), 0, &info, sizeof info, SHGFI_ICON) != 0;
        }
        // Straight into the mount: there but offline, labels without values.
        PortEntry inside = entry;
        std::strcpy(inside.processPath, (mount + "/tool").c_str());
        std::vector<std::string> offline = PaneLines(inside);
        return lines.size() == 2 && lines[1] == "<文件不存在>" && !icon && HasEmptyLabels(offline);
    });
}

// The program, found by its walk, swapped for a link into a file system that
// never answers before its package, desktop entry and icon are looked up:
// they start from what the walk opened, so nothing waits on the server, and
// the unlinked path (or an unbound one) never has its link followed there.
TEST(ProgramIdentity, AProgramSwappedForALinkIntoAStuckFileSystemIsNotWaitedOn) {
    TempDir dir;
    std::string mount = dir.path() + "/stuck";
    StuckMount stuck(mount);
    if (!stuck.Unavailable().empty())
        GTEST_SKIP() << stuck.Unavailable();
    std::string program = dir.Write("bin/tool");
    ombrel::platform::ProgramFile file = ProgramFileOf(program);

    stuck.ExpectInTime([&] {
        ombrel::platform::ProgramFileScope scope(program.c_str(), file);
        ombrel::platform::ProgramFilePlace place{};
        OpenBoundFile(
            *ombrel::platform::BoundProgramFile(ombrel::platform::CurrentRefreshContext(), program),
            &place);
        if (place != ombrel::platform::ProgramFilePlace::Here ||
            ::rename(program.c_str(), (program + ".moved").c_str()) != 0 ||
            ::symlink((mount + "/tool").c_str(), program.c_str()) != 0)
            return false;
        bool version = GetFileVersionInfoSizeA(program.c_str(), nullptr) != 0;
        SHFILEINFOA info{};
        bool icon = SHGetFileInfoA(program.c_str(), 0, &info, sizeof info, SHGFI_ICON) != 0;
        if (icon)
            DestroyIcon(info.hIcon);
        std::string other = dir.path() + "/bin/other";
        if (::symlink((mount + "/other").c_str(), other.c_str()) != 0)
            return false;
        bool unbound = GetFileVersionInfoSizeA(other.c_str(), nullptr) != 0 ||
                       SHGetFileInfoA(other.c_str(), 0, &info, sizeof info, SHGFI_ICON) == 0;
        return !version && icon && !unbound;
    });
}
