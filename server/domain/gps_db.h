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
// Refusals are GpsDbResult values; a storage failure is a Result's Error with its text
// (the caller answers kStorageError). Nothing here throws. One GpsDb belongs to one
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <lapi/lapi.h>

#include "domain/result.h"

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

    // Opens the database at `path`, creating the file if it is missing.
    static Result<std::unique_ptr<GpsDb>> Open(const std::string &path);

    ~GpsDb();
    GpsDb(const GpsDb &) = delete;
    GpsDb &operator=(const GpsDb &) = delete;

    // The entry stored for fileId, or std::nullopt when there is none.
    Result<std::optional<GpsDbEntry>> Get(uint32_t fileId) noexcept;

    // Stores every entry in one transaction: kOk. An entry for a fileId that is already
    // stored replaces it; when one call holds the same fileId twice, the later one
    // wins. Checks come first: kBadCount or kBadLength leave the database untouched,
    // and so does a storage error (the transaction is rolled back).
    Result<GpsDbResult> SetMany(std::span<const GpsDbEntry> entries) noexcept;

  private:
    explicit GpsDb(sqlite3 *db) : db_(db) {}
    Result<> Prepare();
    Error StorageError(const char *what, bool withSqliteMessage = true) const noexcept;

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *get_ = nullptr;
    sqlite3_stmt *put_ = nullptr;
    sqlite3_stmt *begin_ = nullptr;
    sqlite3_stmt *commit_ = nullptr;
    sqlite3_stmt *rollback_ = nullptr;
};

const char *GpsDbResultName(GpsDbResult r) noexcept;

}  // namespace lapid
