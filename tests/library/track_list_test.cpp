// The track list: the scan of real folders and the paged listing.
#include "library/track_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_console.h"
#include "temp_path.h"

namespace fs = std::filesystem;

namespace {

const char kPause[] =
    "\xe7\xb6\x9a\xe8\xa1\x8c\xe3\x81\x99\xe3\x82\x8b\xe3\x81\xab\xe3\x81\xaf\xe4\xbd\x95\xe3\x81\x8b"
    "\xe3\x82\xad\xe3\x83\xbc\xe3\x82\x92\xe6\x8a\xbc\xe3\x81\x97\xe3\x81\xa6\xe3\x81\x8f\xe3\x81\xa0"
    "\xe3\x81\x95\xe3\x81\x84...\n";  // in UTF-8, as a UTF-8 terminal shows it

// A temporary folder that is the working directory while the object lives.
class Folder {
public:
    Folder() : path_(temp_path("folder")), old_(fs::current_path()) {
        fs::create_directory(path_);
        fs::current_path(path_);
    }
    ~Folder() {
        fs::current_path(old_);
        fs::remove_all(path_);
    }
    void file(const std::string& name) const { std::ofstream(name) << "x"; }
    void dir(const std::string& name) const { fs::create_directory(name); }

private:
    std::string path_;
    fs::path old_;
};

struct Scan {
    std::vector<std::string> names;  // up to the end marker or slot 49
    bool end_marker;                 // an end marker after them
    std::string printed;
};

Scan scan() {
    static TrackList filelist;
    std::memset(filelist, 'Z', sizeof filelist);
    StdoutCapture capture;
    EXPECT_EQ(scan_tracks(filelist), 0);
    Scan result{{}, false, capture.finish()};
    for (int i = 0; i < kListSize; ++i) {
        if (is_end_marker(filelist[i])) {
            result.end_marker = true;
            // Nothing after the end marker was written.
            if (i + 1 < kListSize) {
                EXPECT_EQ(filelist[i + 1][0], 'Z');
            }
            break;
        }
        result.names.emplace_back(filelist[i]);
    }
    return result;
}

std::string numbered(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%02d.mp3", i);
    return name;
}

TEST(TrackScan, EmptyFolderSaysSoAndLeavesTheEndMarker) {
    Folder folder;
    folder.file("notes.txt");
    folder.file("song.mp3x");
    const Scan s = scan();
    EXPECT_TRUE(s.names.empty());
    EXPECT_TRUE(s.end_marker);
    EXPECT_EQ(s.printed, "There are no mp3s.\n");
}

TEST(TrackScan, MatchesByWholeNameIgnoringCaseAndLeavesDotFilesOut) {
    Folder folder;
    for (const char* name :
         {"a.b.mp3", "B.MP3", "c.Mp3", "d.mp3x", ".hidden.mp3", "e.mp3.txt", "mp3", "f.mp", "g.mp3"}) {
        folder.file(name);
    }
    folder.dir("x.mp3");  // no attribute is tested
    const Scan s = scan();
    EXPECT_EQ(s.names, (std::vector<std::string>{"a.b.mp3", "B.MP3", "c.Mp3", "g.mp3", "x.mp3"}));
    EXPECT_TRUE(s.end_marker);
    EXPECT_EQ(s.printed, "");
}

TEST(TrackScan, OrderFoldsLettersToUpperCaseThenComparesBytes) {
    Folder folder;
    // Created out of order; readdir would give its own order.
    for (const char* name :
         {"b.mp3", "_x.mp3", "A.mp3", "a.mp3", "10.mp3", "9.mp3", "ab.mp3", "Z.mp3", "a_.mp3", "\xc3\xa9.mp3"}) {
        folder.file(name);
    }
    const Scan s = scan();
    // Upper-cased: "10" < "9" < "A"="A" < "A_" ... '_' (0x5F) sorts after
    // letters, bytes above 0x7F last.
    EXPECT_EQ(s.names, (std::vector<std::string>{"10.mp3", "9.mp3", "A.mp3", "a.mp3", "ab.mp3", "a_.mp3", "b.mp3",
                                                 "Z.mp3", "_x.mp3", "\xc3\xa9.mp3"}));
}

TEST(TrackScan, FillsAtMostFiftySlotsInOrder) {
    for (int count : {1, 3, 15, 16, 49, 50, 60}) {
        Folder folder;
        // Created backwards to show the order is the search's, not creation's.
        for (int i = count - 1; i >= 0; --i)
            folder.file(numbered(i));
        const Scan s = scan();
        const int listed = std::min(count, kListSize);
        ASSERT_EQ(static_cast<int>(s.names.size()), listed) << count;
        for (int i = 0; i < listed; ++i)
            EXPECT_EQ(s.names[static_cast<std::size_t>(i)], numbered(i)) << count;
        EXPECT_EQ(s.end_marker, count < kListSize) << count;
    }
}

TEST(TrackScan, LongestNamesFitTheirSlot) {
    Folder folder;
    const std::string longest = std::string(251, 'n') + ".mp3";  // 255 bytes, the most a name can have here
    folder.file(longest);
    const Scan s = scan();
    ASSERT_EQ(s.names.size(), 1u);
    EXPECT_EQ(s.names[0], longest);
}

std::string listing(int count, const std::string& input, std::string* rest = nullptr) {
    static TrackList filelist;
    for (int i = 0; i < count && i < kListSize; ++i)
        std::snprintf(filelist[i], kSlotSize, "%s", numbered(i).c_str());
    if (count < kListSize) std::snprintf(filelist[count], kSlotSize, "%s", kEndMarker);
    feed_stdin(input);
    StdoutCapture capture;
    show_tracks(filelist);
    std::string printed = capture.finish();
    if (rest != nullptr) *rest = rest_of_stdin();
    return printed;
}

std::string lines(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i)
        text += (i < 10 ? std::to_string(i) + "  | " : std::to_string(i) + " | ") + numbered(i) + "\n";
    return text;
}

TEST(TrackListing, LinesAndPagePauses) {
    EXPECT_EQ(listing(3, ""), "0  | 00.mp3\n1  | 01.mp3\n2  | 02.mp3\n");
    // The end marker in slot 15 comes before the pause test.
    std::string rest;
    EXPECT_EQ(listing(15, "abc", &rest), lines(0, 15));
    EXPECT_EQ(rest, "abc");
    EXPECT_EQ(listing(16, "\nabc", &rest), lines(0, 15) + kPause + lines(15, 16));
    EXPECT_EQ(rest, "abc");
    // Each pause reads exactly one character, whatever it is.
    EXPECT_EQ(listing(50, "xyz!", &rest),
              lines(0, 15) + kPause + lines(15, 30) + kPause + lines(30, 45) + kPause + lines(45, 50));
    EXPECT_EQ(rest, "!");
    // At the end of input the pauses do not wait.
    EXPECT_EQ(listing(31, ""), lines(0, 15) + kPause + lines(15, 30) + kPause + lines(30, 31));
}

TEST(TrackListing, NameWithSpecialCharactersIsPrintedAsIs) {
    static TrackList filelist;
    std::snprintf(filelist[0], kSlotSize, "%s", "100%% %s %d.mp3");
    std::snprintf(filelist[1], kSlotSize, "%s", kEndMarker);
    feed_stdin("");
    StdoutCapture capture;
    show_tracks(filelist);
    EXPECT_EQ(capture.finish(), "0  | 100%% %s %d.mp3\n");
}

}  // namespace
