#include "Sqlite.h"

#include <sqlite3.h>

#include <cerrno>
#include <utility>

bool ESqlite::IsWriteFailure() const {
  const int p = Primary();
  return p == SQLITE_FULL || p == SQLITE_IOERR || p == SQLITE_READONLY || p == SQLITE_CANTOPEN ||
         p == SQLITE_PERM || p == SQLITE_BUSY || p == SQLITE_LOCKED || p == SQLITE_NOMEM;
}

bool ESqlite::IsDiskFull() const {
  return Primary() == SQLITE_FULL || SystemError == ENOSPC || SystemError == EFBIG ||
         SystemError == EDQUOT;
}

bool ESqlite::IsDamaged() const {
  return Primary() == SQLITE_CORRUPT || Primary() == SQLITE_NOTADB;
}

TSqliteDb::TSqliteDb(const std::string& path, TMode mode) : FPath(path) {
  int flags = SQLITE_OPEN_NOMUTEX;
  flags |= mode == kReadOnly ? SQLITE_OPEN_READONLY
           : mode == kReadWrite ? SQLITE_OPEN_READWRITE
                                : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path.c_str(), &FDb, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc);
    const int code = FDb ? sqlite3_extended_errcode(FDb) : rc;
    sqlite3_close_v2(FDb);
    FDb = nullptr;
    throw ESqlite(code, "cannot open " + path + ": " + message);
  }
  sqlite3_extended_result_codes(FDb, 1);
}

TSqliteDb::~TSqliteDb() {
  Close();
}

TSqliteDb::TSqliteDb(TSqliteDb&& other) noexcept
    : FDb(std::exchange(other.FDb, nullptr)), FPath(std::move(other.FPath)) {}

TSqliteDb& TSqliteDb::operator=(TSqliteDb&& other) noexcept {
  if (this != &other) {
    Close();
    FDb = std::exchange(other.FDb, nullptr);
    FPath = std::move(other.FPath);
  }
  return *this;
}

void TSqliteDb::Close() {
  if (FDb) sqlite3_close_v2(FDb);
  FDb = nullptr;
}

void TSqliteDb::Fail(int code, std::string_view what) const {
  const int extended = FDb ? sqlite3_extended_errcode(FDb) : code;
  std::string message(what);
  message += ": ";
  message += FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(code);
  throw ESqlite((extended & 0xFF) == (code & 0xFF) ? extended : code, message,
                FDb ? sqlite3_system_errno(FDb) : 0);
}

void TSqliteDb::Exec(std::string_view sql) {
  const std::string text(sql);
  const int rc = sqlite3_exec(FDb, text.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(rc, "SQL (" + text.substr(0, 40) + ")");
}

std::int64_t TSqliteDb::QueryInt(std::string_view sql, std::int64_t fallback) {
  TSqliteStatement s(*this, sql);
  if (!s.Step() || s.IsNull(0)) return fallback;
  return s.Int(0);
}

void TSqliteDb::SetBusyTimeout(int ms) {
  sqlite3_busy_timeout(FDb, ms);
}

std::int64_t TSqliteDb::LastInsertRowId() const {
  return sqlite3_last_insert_rowid(FDb);
}

int TSqliteDb::Changes() const {
  return sqlite3_changes(FDb);
}

TSqliteStatement::TSqliteStatement(TSqliteDb& db, std::string_view sql) : FDb(&db) {
  const int rc = sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &FStmt,
                                    nullptr);
  if (rc != SQLITE_OK) db.Fail(rc, "SQL prepare");
}

TSqliteStatement::~TSqliteStatement() {
  if (FStmt) sqlite3_finalize(FStmt);
}

TSqliteStatement::TSqliteStatement(TSqliteStatement&& other) noexcept
    : FDb(other.FDb), FStmt(std::exchange(other.FStmt, nullptr)) {}

TSqliteStatement& TSqliteStatement::operator=(TSqliteStatement&& other) noexcept {
  if (this != &other) {
    if (FStmt) sqlite3_finalize(FStmt);
    FDb = other.FDb;
    FStmt = std::exchange(other.FStmt, nullptr);
  }
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(FStmt, index, value);
  if (rc != SQLITE_OK) FDb->Fail(rc, "SQL bind");
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, double value) {
  const int rc = sqlite3_bind_double(FStmt, index, value);
  if (rc != SQLITE_OK) FDb->Fail(rc, "SQL bind");
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, std::string_view text) {
  const int rc = sqlite3_bind_text(FStmt, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) FDb->Fail(rc, "SQL bind");
  return *this;
}

TSqliteStatement& TSqliteStatement::BindBlob(int index, const void* data, std::size_t size) {
  const int rc =
      sqlite3_bind_blob(FStmt, index, data, static_cast<int>(size), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) FDb->Fail(rc, "SQL bind");
  return *this;
}

TSqliteStatement& TSqliteStatement::BindNull(int index) {
  const int rc = sqlite3_bind_null(FStmt, index);
  if (rc != SQLITE_OK) FDb->Fail(rc, "SQL bind");
  return *this;
}

bool TSqliteStatement::Step() {
  const int rc = sqlite3_step(FStmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(FStmt);
  FDb->Fail(rc, "SQL step");
}

void TSqliteStatement::Run() {
  while (Step()) {
  }
  Reset();
}

void TSqliteStatement::Reset() {
  sqlite3_reset(FStmt);
  sqlite3_clear_bindings(FStmt);
}

bool TSqliteStatement::IsNull(int column) const {
  return sqlite3_column_type(FStmt, column) == SQLITE_NULL;
}

std::int64_t TSqliteStatement::Int(int column) const {
  return sqlite3_column_int64(FStmt, column);
}

double TSqliteStatement::Double(int column) const {
  return sqlite3_column_double(FStmt, column);
}

std::string TSqliteStatement::Text(int column) const {
  const auto* p = sqlite3_column_text(FStmt, column);
  return p ? std::string(reinterpret_cast<const char*>(p),
                         static_cast<std::size_t>(sqlite3_column_bytes(FStmt, column)))
           : std::string();
}

const std::uint8_t* TSqliteStatement::Blob(int column, int& size) const {
  const void* p = sqlite3_column_blob(FStmt, column);
  size = sqlite3_column_bytes(FStmt, column);
  return static_cast<const std::uint8_t*>(p);
}

TSqliteTransaction::TSqliteTransaction(TSqliteDb& db, bool immediate) : FDb(db) {
  FDb.Exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN");
}

TSqliteTransaction::~TSqliteTransaction() {
  if (!FOpen) return;
  try {
    // A failed statement may already have rolled the transaction back.
    if (!sqlite3_get_autocommit(FDb.Handle())) FDb.Exec("ROLLBACK");
  } catch (...) {
  }
}

void TSqliteTransaction::Commit() {
  FDb.Exec("COMMIT");
  FOpen = false;
}
