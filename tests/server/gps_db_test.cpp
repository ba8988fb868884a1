// The GPS database store: round trips, replacement, checks, all-or-nothing writes,
// reopening, survival of a killed writer, and bad files.
#include "store/gps_db.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

namespace fs = std::filesystem;
using lapid::GpsDb;
using lapid::GpsDbEntry;
using lapid::GpsDbResult;

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
  public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "lapid-gpsdb-XXXXXX").string();
        if (mkdtemp(templ.data()) != nullptr) {
            path_ = templ;
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) {
            fs::remove_all(path_, ec);
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    std::string File(const std::string &name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

GpsDbEntry Entry(uint32_t fileId, std::vector<uint8_t> bytes) {
    GpsDbEntry e;
    e.fileId = fileId;
    e.length = static_cast<uint16_t>(bytes.size());
    for (std::size_t i = 0; i < bytes.size() && i < e.data.size(); ++i) {
        e.data[i] = bytes[i];
    }
    return e;
}

// Expects the store to hold exactly `bytes` for fileId.
void ExpectStored(GpsDb &db, uint32_t fileId, const std::vector<uint8_t> &bytes) {
    GpsDbResult r = GpsDbResult::kStorageError;
    const auto e = db.Get(fileId, &r);
    ASSERT_EQ(r, GpsDbResult::kOk) << "fileId " << fileId;
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->fileId, fileId);
    ASSERT_EQ(e->length, bytes.size()) << "fileId " << fileId;
    for (std::size_t i = 0; i < e->data.size(); ++i) {
        EXPECT_EQ(e->data[i], i < bytes.size() ? bytes[i] : 0)
            << "fileId " << fileId << " byte " << i;
    }
}

void ExpectAbsent(GpsDb &db, uint32_t fileId) {
    GpsDbResult r = GpsDbResult::kStorageError;
    EXPECT_FALSE(db.Get(fileId, &r).has_value()) << "fileId " << fileId;
    EXPECT_EQ(r, GpsDbResult::kNotFound) << "fileId " << fileId;
}

// Runs SQL on the file through a separate SQLite connection.
void RawExec(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char *msg = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
    EXPECT_EQ(rc, SQLITE_OK) << (msg != nullptr ? msg : "");
    sqlite3_free(msg);
    sqlite3_close(db);
}

std::string RawQuery(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    std::string out;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char *t = sqlite3_column_text(st, 0);
            out = t != nullptr ? reinterpret_cast<const char *>(t) : "";
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

class GpsDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        path_ = dir_.File("gps.db");
    }
    std::unique_ptr<GpsDb> OpenOrFail() {
        std::string err;
        auto db = GpsDb::Open(path_, &err);
        EXPECT_NE(db, nullptr) << err;
        return db;
    }
    TempDir dir_;
    std::string path_;
};

TEST_F(GpsDbTest, RoundTrip) {
    auto db = OpenOrFail();
    ASSERT_NE(db, nullptr);
    ExpectAbsent(*db, 7);
    const std::vector<GpsDbEntry> entries = {
        Entry(0, {0xAB}),
        Entry(7, {0x01, 0x02}),
        Entry(1000, {0xDE, 0xAD, 0xBE}),
        Entry(0xFFFFFFFFu, {0x00, 0xFF, 0x7F, 0x80}),
    };
    ASSERT_EQ(db->SetMany(entries), GpsDbResult::kOk);
    ExpectStored(*db, 0, {0xAB});
    ExpectStored(*db, 7, {0x01, 0x02});
    ExpectStored(*db, 1000, {0xDE, 0xAD, 0xBE});
    ExpectStored(*db, 0xFFFFFFFFu, {0x00, 0xFF, 0x7F, 0x80});
    ExpectAbsent(*db, 8);
    ExpectAbsent(*db, 0xFFFFFFFEu);

    // Bytes beyond `length` in a request are not stored.
    GpsDbEntry partial = Entry(9, {1, 2, 3, 4});
    partial.length = 2;
    ASSERT_EQ(db->SetMany({&partial, 1}), GpsDbResult::kOk);
    ExpectStored(*db, 9, {1, 2});
}

TEST_F(GpsDbTest, ExistingFileIdIsReplaced) {
    auto db = OpenOrFail();
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(db->SetMany(std::vector{Entry(5, {1, 2, 3, 4}), Entry(6, {6})}), GpsDbResult::kOk);
    ASSERT_EQ(db->SetMany(std::vector{Entry(5, {9})}), GpsDbResult::kOk);
    ExpectStored(*db, 5, {9});
    ExpectStored(*db, 6, {6});
    // The same fileId twice in one request: the later one wins.
    ASSERT_EQ(db->SetMany(std::vector{Entry(6, {1, 1}), Entry(6, {2, 2, 2})}), GpsDbResult::kOk);
    ExpectStored(*db, 6, {2, 2, 2});
}

TEST_F(GpsDbTest, BadCountsAndLengthsAreRefusedAndWriteNothing) {
    auto db = OpenOrFail();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->SetMany({}), GpsDbResult::kBadCount);

    std::vector<GpsDbEntry> many;
    for (uint32_t i = 0; i < GpsDb::kMaxEntriesPerWrite + 1; ++i) {
        many.push_back(Entry(100 + i, {static_cast<uint8_t>(i)}));
    }
    EXPECT_EQ(db->SetMany(many), GpsDbResult::kBadCount);
    ExpectAbsent(*db, 100);
    many.pop_back();
    EXPECT_EQ(db->SetMany(many), GpsDbResult::kOk);  // exactly the maximum
    ExpectStored(*db, 121, {21});

    for (uint16_t badLength : {uint16_t{0}, uint16_t{5}, uint16_t{0xFFFF}}) {
        std::vector<GpsDbEntry> entries = {Entry(1, {1}), Entry(2, {2}), Entry(3, {3})};
        entries[1].length = badLength;
        EXPECT_EQ(db->SetMany(entries), GpsDbResult::kBadLength) << badLength;
        ExpectAbsent(*db, 1);
        ExpectAbsent(*db, 3);
    }
}

TEST_F(GpsDbTest, StorageFailureInTheMiddleLeavesNothingWritten) {
    {
        auto db = OpenOrFail();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(db->SetMany(std::vector{Entry(1, {0x11})}), GpsDbResult::kOk);
    }
    // Make SQLite itself fail on the second entry of the next write.
    RawExec(path_,
            "CREATE TRIGGER fail_666 BEFORE INSERT ON gps_db_entry WHEN NEW.file_id = 666 "
            "BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
    auto db = OpenOrFail();
    ASSERT_NE(db, nullptr);
    const std::vector<GpsDbEntry> entries = {Entry(1, {0x22, 0x22}), Entry(666, {6}),
                                             Entry(3, {0x33})};
    EXPECT_EQ(db->SetMany(entries), GpsDbResult::kStorageError);
    EXPECT_NE(db->LastError().find("injected failure"), std::string::npos) << db->LastError();
    ExpectStored(*db, 1, {0x11});
    ExpectAbsent(*db, 666);
    ExpectAbsent(*db, 3);

    // Once the cause is gone the same store writes again.
    RawExec(path_, "DROP TRIGGER fail_666");
    EXPECT_EQ(db->SetMany(entries), GpsDbResult::kOk);
    ExpectStored(*db, 1, {0x22, 0x22});
    ExpectStored(*db, 666, {6});
    ExpectStored(*db, 3, {0x33});
}

TEST_F(GpsDbTest, ReopenKeepsTheDataAndTheSettings) {
    {
        auto db = OpenOrFail();
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(db->SetMany(std::vector{Entry(42, {4, 2}), Entry(43, {4, 3})}), GpsDbResult::kOk);
    }
    auto db = OpenOrFail();
    ASSERT_NE(db, nullptr);
    ExpectStored(*db, 42, {4, 2});
    ExpectStored(*db, 43, {4, 3});
    EXPECT_EQ(RawQuery(path_, "PRAGMA user_version"), std::to_string(GpsDb::kSchemaVersion));
    EXPECT_EQ(RawQuery(path_, "PRAGMA journal_mode"), "wal");
}

// A child process writes and is killed right after the write is acknowledged; the
// parent then reopens the file and must find every acknowledged entry.
TEST_F(GpsDbTest, AcknowledgedWritesSurviveAKilledWriter) {
    for (int round = 0; round < 4; ++round) {
        const bool useSigkill = round % 2 == 0;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            auto db = GpsDb::Open(path_);
            if (db == nullptr) {
                _exit(2);
            }
            const auto id = static_cast<uint32_t>(round);
            const std::vector<GpsDbEntry> entries = {
                Entry(id, {static_cast<uint8_t>(round), 0xA5}),
                Entry(1000, {static_cast<uint8_t>(round)}),  // replaced every round
            };
            if (db->SetMany(entries) != GpsDbResult::kOk) {
                _exit(3);
            }
            if (useSigkill) {
                kill(getpid(), SIGKILL);
            }
            _exit(0);  // no destructor: the connection is never closed
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (useSigkill) {
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                << "round " << round << ": child status " << status;
        } else {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "round " << round << ": child status " << status;
        }
        // The writer never closed the file, so the entries sit in the write-ahead log.
        std::error_code ec;
        EXPECT_GT(fs::file_size(path_ + "-wal", ec), 0u) << ec.message();

        auto db = OpenOrFail();
        ASSERT_NE(db, nullptr);
        for (int r = 0; r <= round; ++r) {
            ExpectStored(*db, static_cast<uint32_t>(r), {static_cast<uint8_t>(r), 0xA5});
        }
        ExpectStored(*db, 1000, {static_cast<uint8_t>(round)});
    }
}

TEST_F(GpsDbTest, BadPathsGiveAnErrorNotACrash) {
    std::string err;
    EXPECT_EQ(GpsDb::Open(dir_.File("missing-dir/gps.db"), &err), nullptr);
    EXPECT_FALSE(err.empty());

    err.clear();
    EXPECT_EQ(GpsDb::Open(dir_.File(""), &err), nullptr);  // the directory itself
    EXPECT_FALSE(err.empty());

    err.clear();
    EXPECT_EQ(GpsDb::Open("", &err), nullptr);
    EXPECT_FALSE(err.empty());

    // A file that is not a database.
    const std::string junk = dir_.File("junk.db");
    {
        std::ofstream out(junk, std::ios::binary);
        for (int i = 0; i < 8192; ++i) {
            out.put(static_cast<char>((i * 37 + 11) & 0xFF));
        }
    }
    err.clear();
    EXPECT_EQ(GpsDb::Open(junk, &err), nullptr);
    EXPECT_FALSE(err.empty());

    // A database from a newer version of the server is not touched.
    const std::string newer = dir_.File("newer.db");
    RawExec(newer, "CREATE TABLE t (x); PRAGMA user_version = 99");
    err.clear();
    EXPECT_EQ(GpsDb::Open(newer, &err), nullptr);
    EXPECT_NE(err.find("99"), std::string::npos) << err;
    EXPECT_EQ(RawQuery(newer, "PRAGMA user_version"), "99");
}

}  // namespace
