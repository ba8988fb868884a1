#include "domain/gps_db.h"

#include <cstring>
#include <new>
#include <utility>

#include <sqlite3.h>

namespace lapid {

namespace {

constexpr const char *kCreateSchema =
    "CREATE TABLE IF NOT EXISTS gps_db_entry ("
    " file_id INTEGER PRIMARY KEY NOT NULL CHECK (file_id BETWEEN 0 AND 4294967295),"
    " len INTEGER NOT NULL CHECK (len BETWEEN 1 AND 4),"
    " data BLOB NOT NULL CHECK (length(data) = len))";

constexpr const char *kGetSql = "SELECT len, data FROM gps_db_entry WHERE file_id = ?1";
constexpr const char *kPutSql =
    "INSERT INTO gps_db_entry (file_id, len, data) VALUES (?1, ?2, ?3)"
    " ON CONFLICT (file_id) DO UPDATE SET len = excluded.len, data = excluded.data";

std::string Describe(sqlite3 *db, const char *what) {
    std::string s = what;
    s += ": ";
    s += db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    return s;
}

// Runs a statement that returns at most one row and yields its first column as text.
bool QueryText(sqlite3 *db, const char *sql, std::string &out) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        return false;
    }
    const int rc = sqlite3_step(st);
    bool ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
    if (rc == SQLITE_ROW) {
        const unsigned char *t = sqlite3_column_text(st, 0);
        out = t != nullptr ? reinterpret_cast<const char *>(t) : "";
    } else {
        out.clear();
    }
    sqlite3_finalize(st);
    return ok;
}

// Steps a prepared statement that returns no rows, then resets it.
bool StepDone(sqlite3_stmt *st) {
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
}

}  // namespace

const char *GpsDbResultName(GpsDbResult r) noexcept {
    switch (r) {
        case GpsDbResult::kOk:
            return "ok";
        case GpsDbResult::kNotFound:
            return "not found";
        case GpsDbResult::kBadCount:
            return "bad count";
        case GpsDbResult::kBadLength:
            return "bad length";
        case GpsDbResult::kStorageError:
            return "storage error";
    }
    return "unknown";
}

Result<std::unique_ptr<GpsDb>> GpsDb::Open(const std::string &path) {
    if (path.empty()) {
        // SQLite would quietly make a private temporary database of an empty name.
        return Error{"empty database path"};
    }
    sqlite3 *raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    // From here the GpsDb owns the handle and closes it on every failure path.
    std::unique_ptr<GpsDb> db(new (std::nothrow) GpsDb(raw));
    if (db == nullptr) {
        sqlite3_close_v2(raw);
        return Error{"out of memory"};
    }
    if (rc != SQLITE_OK) {
        return Error{Describe(raw, ("cannot open " + path).c_str())};
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, 2000);
    if (sqlite3_db_readonly(raw, "main") != 0) {
        return Error{"cannot open " + path + " for writing"};
    }

    std::string version;
    if (!QueryText(raw, "PRAGMA user_version", version)) {
        return Error{Describe(raw, "cannot read the schema version")};
    }
    if (version != "0" && version != std::to_string(kSchemaVersion)) {
        return Error{path + ": unsupported schema version " + version + " (this server uses " +
                     std::to_string(kSchemaVersion) + ")"};
    }

    std::string mode;
    if (!QueryText(raw, "PRAGMA journal_mode=WAL", mode)) {
        return Error{Describe(raw, ("cannot use " + path).c_str())};
    }
    if (mode != "wal") {
        return Error{path + ": write-ahead logging not available (journal mode " + mode + ")"};
    }
    std::string sync;
    if (!QueryText(raw, "PRAGMA synchronous=FULL", sync) ||
        !QueryText(raw, "PRAGMA synchronous", sync) || sync != "2") {
        return Error{Describe(raw, "cannot set synchronous=FULL")};
    }

    if (version == "0") {
        const std::string create = std::string("BEGIN IMMEDIATE; ") + kCreateSchema +
                                   "; PRAGMA user_version = " + std::to_string(kSchemaVersion) +
                                   "; COMMIT";
        if (sqlite3_exec(raw, create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            Error error{Describe(raw, "cannot create the schema")};
            sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
            return error;
        }
    }

    if (Result<> prepared = db->Prepare(); !prepared) {
        return Error{prepared.ErrorText()};
    }
    return db;
}

Result<> GpsDb::Prepare() {
    const struct {
        sqlite3_stmt **st;
        const char *sql;
    } statements[] = {
        {&get_, kGetSql},     {&put_, kPutSql},         {&begin_, "BEGIN IMMEDIATE"},
        {&commit_, "COMMIT"}, {&rollback_, "ROLLBACK"},
    };
    for (const auto &s : statements) {
        if (sqlite3_prepare_v3(db_, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.st, nullptr) !=
            SQLITE_OK) {
            return Error{Describe(db_, "cannot prepare the statements")};
        }
    }
    return {};
}

GpsDb::~GpsDb() {
    for (sqlite3_stmt *st : {get_, put_, begin_, commit_, rollback_}) {
        sqlite3_finalize(st);  // a no-op for nullptr
    }
    sqlite3_close_v2(db_);
}

Error GpsDb::StorageError(const char *what, bool withSqliteMessage) const noexcept {
    try {
        return Error{withSqliteMessage ? Describe(db_, what) : std::string(what)};
    } catch (...) {
        return Error{};  // no memory left for the text
    }
}

Result<std::optional<GpsDbEntry>> GpsDb::Get(uint32_t fileId) noexcept {
    sqlite3_bind_int64(get_, 1, static_cast<sqlite3_int64>(fileId));
    const int rc = sqlite3_step(get_);
    Result<std::optional<GpsDbEntry>> entry = std::optional<GpsDbEntry>();
    if (rc == SQLITE_ROW) {
        const sqlite3_int64 len = sqlite3_column_int64(get_, 0);
        const void *blob = sqlite3_column_blob(get_, 1);
        const int blobLen = sqlite3_column_bytes(get_, 1);
        if (len >= 1 && len <= kMaxDataLen && blob != nullptr && blobLen == len) {
            GpsDbEntry e;
            e.fileId = fileId;
            e.length = static_cast<uint16_t>(len);
            std::memcpy(e.data.data(), blob, static_cast<std::size_t>(len));
            entry = std::optional<GpsDbEntry>(e);
        } else {
            entry = StorageError("malformed entry in the database", false);
        }
    } else if (rc != SQLITE_DONE) {
        entry = StorageError("cannot read an entry");
    }
    sqlite3_reset(get_);
    sqlite3_clear_bindings(get_);
    return entry;
}

Result<GpsDbResult> GpsDb::SetMany(std::span<const GpsDbEntry> entries) noexcept {
    if (entries.empty() || entries.size() > kMaxEntriesPerWrite) {
        return GpsDbResult::kBadCount;
    }
    for (const GpsDbEntry &e : entries) {
        if (e.length < 1 || e.length > kMaxDataLen) {
            return GpsDbResult::kBadLength;
        }
    }

    if (!StepDone(begin_)) {
        return StorageError("cannot begin a transaction");
    }
    std::optional<Error> failed;
    for (const GpsDbEntry &e : entries) {
        // The blob is bound without a copy (null destructor): it is used only by the
        // step right below and the bindings are cleared before returning.
        sqlite3_bind_int64(put_, 1, static_cast<sqlite3_int64>(e.fileId));
        sqlite3_bind_int(put_, 2, e.length);
        sqlite3_bind_blob(put_, 3, e.data.data(), e.length, nullptr);
        const bool written = StepDone(put_);
        sqlite3_clear_bindings(put_);
        if (!written) {
            failed = StorageError("cannot write an entry");
            break;
        }
    }
    if (!failed && !StepDone(commit_)) {
        failed = StorageError("cannot commit");
    }
    if (failed) {
        // Undo whatever the transaction holds; after a failed COMMIT it is still open.
        if (sqlite3_get_autocommit(db_) == 0) {
            StepDone(rollback_);
        }
        return std::move(*failed);
    }
    return GpsDbResult::kOk;
}

}  // namespace lapid
