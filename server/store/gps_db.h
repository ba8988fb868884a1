// The GPS database: small entries keyed by a 32-bit file identifier, kept durably in
// an SQLite file.
//
// Durability. The file runs in WAL mode with synchronous=FULL: once SetMany() has
// returned kOk the entries are on disk and survive the process being killed (or the
// machine losing power, as far as the file system keeps its promises). All entries
// of one SetMany() call are written in one transaction: all of them or none.
//
// Schema. PRAGMA user_version holds the schema version (kSchemaVersion). A new file
// gets the current schema; a file of a newer version is refused rather than guessed at.
//
// Errors are returned as GpsDbResult values (and a message for Open()); nothing here
// throws. One GpsDb belongs to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <lapi/lapi.h>

struct sqlite3;
struct sqlite3_stmt;

namespace lapid {

// The result of getGpsDbDataRsp and setGpsDbDataRsp.
enum class GpsDbResult : int32_t {
    kOk = 0,             // read: entry found; write: every entry stored
    kNotFound = -1,      // read: no entry with that fileId
    kBadCount = -2,      // write: number of entries not within 1..kMaxEntriesPerWrite
    kBadLength = -3,     // write: an entry's length not within 1..kMaxDataLen
    kStorageError = -4,  // the database could not be read or written; nothing changed
};

struct GpsDbEntry {
    uint32_t fileId = 0;
    uint16_t length = 0;  // meaningful bytes in data, 1..kMaxDataLen
    std::array<uint8_t, LAPI_GPS_DB_MAX_DATA_LEN> data =
        {};  // bytes past `length` are zero when read back
};

class GpsDb {
  public:
    // The limits of the messages that carry the entries.
    static constexpr std::size_t kMaxEntriesPerWrite = LAPI_GPS_DB_MAX_FILES;
    static constexpr uint16_t kMaxDataLen = LAPI_GPS_DB_MAX_DATA_LEN;
    static constexpr int kSchemaVersion = 1;

    // Opens the database at `path`, creating the file if it is missing. On failure
    // returns nullptr and, if `error` is given, a description.
    static std::unique_ptr<GpsDb> Open(const std::string &path, std::string *error = nullptr);

    ~GpsDb();
    GpsDb(const GpsDb &) = delete;
    GpsDb &operator=(const GpsDb &) = delete;

    // The entry stored for fileId, or std::nullopt. `result`, if given, tells kOk,
    // kNotFound or kStorageError apart.
    std::optional<GpsDbEntry> Get(uint32_t fileId, GpsDbResult *result = nullptr) noexcept;

    // Stores every entry in one transaction. An entry for a fileId that is already
    // stored replaces it; when one call holds the same fileId twice, the later one
    // wins. Checks come first: kBadCount or kBadLength leave the database untouched,
    // and so does kStorageError (the transaction is rolled back).
    GpsDbResult SetMany(std::span<const GpsDbEntry> entries) noexcept;

    // Description of the last storage error ("" if none).
    const std::string &LastError() const noexcept { return lastError_; }

  private:
    explicit GpsDb(sqlite3 *db) : db_(db) {}
    bool Prepare(std::string *error);
    void NoteError(const char *what, bool withSqliteMessage = true) noexcept;

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *get_ = nullptr;
    sqlite3_stmt *put_ = nullptr;
    sqlite3_stmt *begin_ = nullptr;
    sqlite3_stmt *commit_ = nullptr;
    sqlite3_stmt *rollback_ = nullptr;
    std::string lastError_;
};

const char *GpsDbResultName(GpsDbResult r) noexcept;

}  // namespace lapid
