// A small RAII wrapper of SQLite's C API: one connection, prepared
// statements, transactions. Errors are ESqlite carrying SQLite's extended
// result code, so that callers can tell a full disk from a busy database
// from a file that is not a database. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class ESqlite : public std::runtime_error {
 public:
  ESqlite(int code, const std::string& message, int systemError = 0)
      : std::runtime_error(message), Code(code), SystemError(systemError) {}
  int Code;         // extended result code
  int SystemError;  // errno of the failed system call, 0 when none
  int Primary() const { return Code & 0xFF; }
  // The disk is full, the file may not grow, or it cannot be written at all:
  // recording stops and tries again later.
  bool IsWriteFailure() const;
  // No room: a full disk, a quota, a file-size limit.
  bool IsDiskFull() const;
  // The file is not a database, or is damaged.
  bool IsDamaged() const;
};

class TSqliteDb {
 public:
  enum TMode { kReadOnly, kReadWrite, kReadWriteCreate };
  TSqliteDb() = default;
  TSqliteDb(const std::string& path, TMode mode);
  ~TSqliteDb();
  TSqliteDb(TSqliteDb&& other) noexcept;
  TSqliteDb& operator=(TSqliteDb&& other) noexcept;
  TSqliteDb(const TSqliteDb&) = delete;
  TSqliteDb& operator=(const TSqliteDb&) = delete;

  bool IsOpen() const { return FDb != nullptr; }
  sqlite3* Handle() const { return FDb; }
  const std::string& Path() const { return FPath; }
  void Close();

  // Runs one or more statements without results.
  void Exec(std::string_view sql);
  // The first column of the first row of a query as an integer (fallback
  // when there is no row or it is NULL).
  std::int64_t QueryInt(std::string_view sql, std::int64_t fallback = 0);
  void SetBusyTimeout(int ms);
  std::int64_t LastInsertRowId() const;
  int Changes() const;
  // Raises ESqlite for `code` with the connection's message.
  [[noreturn]] void Fail(int code, std::string_view what) const;

 private:
  sqlite3* FDb = nullptr;
  std::string FPath;
};

class TSqliteStatement {
 public:
  TSqliteStatement() = default;
  TSqliteStatement(TSqliteDb& db, std::string_view sql);
  ~TSqliteStatement();
  TSqliteStatement(TSqliteStatement&& other) noexcept;
  TSqliteStatement& operator=(TSqliteStatement&& other) noexcept;
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  // Parameters are numbered from 1.
  TSqliteStatement& Bind(int index, std::int64_t value);
  TSqliteStatement& Bind(int index, double value);
  TSqliteStatement& Bind(int index, std::string_view text);
  TSqliteStatement& BindBlob(int index, const void* data, std::size_t size);
  TSqliteStatement& BindNull(int index);
  // Steps once: true while a row is there, false when done.
  bool Step();
  // Steps a statement without results to its end.
  void Run();
  void Reset();

  bool IsNull(int column) const;
  std::int64_t Int(int column) const;
  double Double(int column) const;
  std::string Text(int column) const;
  // A view of a BLOB column, valid until the next Step/Reset.
  const std::uint8_t* Blob(int column, int& size) const;

 private:
  TSqliteDb* FDb = nullptr;
  sqlite3_stmt* FStmt = nullptr;
};

// BEGIN IMMEDIATE … COMMIT; rolled back when not committed.
class TSqliteTransaction {
 public:
  explicit TSqliteTransaction(TSqliteDb& db, bool immediate = true);
  ~TSqliteTransaction();
  TSqliteTransaction(const TSqliteTransaction&) = delete;
  TSqliteTransaction& operator=(const TSqliteTransaction&) = delete;
  void Commit();

 private:
  TSqliteDb& FDb;
  bool FOpen = true;
};
