#include "orvexa/units/sqlite_tool.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/utf8.h"
#include "orvexa/units/log_service.h"

namespace orvexa {
namespace {

constexpr const char* kNoMessage = "Error";

// A browser that is writing holds its lock for moments; one that is running
// with an exclusive lock holds it for good, which the callers then handle.
std::atomic<int64_t> busyTimeoutMs{3000};

struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

std::string errorText(sqlite3* db) {
  const char* message = sqlite3_errmsg(db);
  return message != nullptr && *message != '\0' ? std::string(message) : std::string(kNoMessage);
}

// Prepares the first statement of `sql`; `tail` receives the unparsed rest.
Statement prepare(sqlite3* db, const char* sql, const char** tail, int* rc) {
  sqlite3_stmt* stmt = nullptr;
  *rc = sqlite3_prepare_v2(db, sql, -1, &stmt, tail);
  return Statement(stmt);
}

// True when `tail`, the text after a prepared statement, holds no further
// statement. A bound call refuses more: a second statement would run without
// the values meant for it.
bool onlyCommentsIn(sqlite3* db, const char* tail) {
  while (tail != nullptr && *tail != '\0') {
    int rc = SQLITE_OK;
    const char* next = nullptr;
    Statement rest = prepare(db, tail, &next, &rc);
    if (rc != SQLITE_OK || rest) return false;
    if (next == tail) break;
    tail = next;
  }
  return true;
}

int bindOne(sqlite3_stmt* stmt, int index, const SqlValue& value) {
  return std::visit(
      [&](const auto& v) -> int {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          return sqlite3_bind_null(stmt, index);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return sqlite3_bind_int64(stmt, index, v);
        } else if constexpr (std::is_same_v<T, double>) {
          return sqlite3_bind_double(stmt, index, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return sqlite3_bind_text64(stmt, index, v.data(), v.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
        } else {
          // A null pointer would bind NULL, not an empty blob.
          if (v.empty()) return sqlite3_bind_zeroblob(stmt, index, 0);
          return sqlite3_bind_blob64(stmt, index, v.data(), v.size(), SQLITE_TRANSIENT);
        }
      },
      value);
}

// Binds `params` to the statement's parameters 1..n. Empty text on success,
// else why not.
std::string bindAll(sqlite3* db, sqlite3_stmt* stmt, const std::vector<SqlValue>& params) {
  const int expected = stmt != nullptr ? sqlite3_bind_parameter_count(stmt) : 0;
  if (static_cast<size_t>(expected) != params.size()) {
    return "Statement takes " + std::to_string(expected) + " parameters, " +
           std::to_string(params.size()) + " given";
  }
  for (size_t i = 0; i < params.size(); ++i) {
    if (bindOne(stmt, static_cast<int>(i + 1), params[i]) != SQLITE_OK) return errorText(db);
  }
  return {};
}

void eachRow(sqlite3_stmt* stmt, const std::function<void(const SqlRow&)>& each) {
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    SqlRow row;
    const int columns = sqlite3_column_count(stmt);
    for (int column = 0; column < columns; ++column) {
      const char* name = sqlite3_column_name(stmt, column);
      if (name == nullptr || !isValidUtf8(name)) continue;
      // column_text before column_bytes: the length is that of the text form.
      const unsigned char* text = sqlite3_column_text(stmt, column);
      if (text == nullptr) continue;  // NULL keeps an earlier same-named value
      const int length = sqlite3_column_bytes(stmt, column);
      row[name].assign(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    }
    each(row);
  }
}

std::vector<SqlRow> collectRows(sqlite3_stmt* stmt) {
  std::vector<SqlRow> rows;
  eachRow(stmt, [&rows](const SqlRow& row) { rows.push_back(row); });
  return rows;
}

}  // namespace

void SqliteTool::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

SqliteTool::SqliteTool() = default;
SqliteTool::~SqliteTool() = default;

bool SqliteTool::openDB(const std::string& dbPath) {
  runSqliteDB_.reset();
  lastError_.clear();
  // SQLite opens by name and would block on a named pipe, and read a device
  // or a socket's name as a database: only a regular file (or nothing yet,
  // which is created) is opened.
  if (FileStatus kind = checkRegularFile(dbPath); !kind.ok() && kind.code() != ENOENT) {
    lastError_ = kind.message();
    LogService::shard().log(LogService::LogLevel::Info, "SQLite: " + lastError_);
    return false;
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open(dbPath.c_str(), &db);
  // SQLite hands back a handle even when the open fails; it carries the message.
  std::unique_ptr<sqlite3, Closer> handle(db);
  if (rc != SQLITE_OK) {
    lastError_ = dbPath + ": " + errorText(handle.get());
    LogService::shard().log(LogService::LogLevel::Info, "SQLite: " + lastError_);
    return false;
  }
  sqlite3_busy_timeout(handle.get(), static_cast<int>(busyTimeoutMs.load()));
  runSqliteDB_ = std::move(handle);
  return true;
}

bool SqliteTool::locked() const {
  if (!runSqliteDB_) return false;
  const int code = sqlite3_errcode(runSqliteDB_.get());
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

std::chrono::milliseconds SqliteTool::busyTimeout() {
  return std::chrono::milliseconds(busyTimeoutMs.load());
}

void SqliteTool::setBusyTimeout(std::chrono::milliseconds timeout) {
  busyTimeoutMs.store(timeout.count());
}

bool SqliteTool::closeDB(const std::string& /*dbPath*/, bool forcedClose) {
  if (!runSqliteDB_) return true;
  const int rc =
      forcedClose ? sqlite3_close_v2(runSqliteDB_.get()) : sqlite3_close(runSqliteDB_.get());
  if (rc != SQLITE_OK) return false;
  (void)runSqliteDB_.release();  // already closed
  return true;
}

std::pair<bool, std::string> SqliteTool::executionSQL(const std::string& SQL) {
  if (!runSqliteDB_) return {false, kNoMessage};
  char* message = nullptr;
  const int rc = sqlite3_exec(runSqliteDB_.get(), SQL.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) {
    sqlite3_free(message);
    return {true, ""};
  }
  std::string text = message != nullptr ? std::string(message) : std::string(kNoMessage);
  sqlite3_free(message);
  return {false, std::move(text)};
}

std::pair<bool, std::string> SqliteTool::executionSQL(const std::string& SQL,
                                                      const std::vector<SqlValue>& params) {
  sqlite3* db = runSqliteDB_.get();
  if (db == nullptr) return {false, kNoMessage};
  const char* tail = nullptr;
  int rc = SQLITE_OK;
  Statement stmt = prepare(db, SQL.c_str(), &tail, &rc);
  if (rc != SQLITE_OK) return {false, errorText(db)};
  if (!onlyCommentsIn(db, tail)) return {false, "Bound parameters need exactly one statement"};
  if (std::string why = bindAll(db, stmt.get(), params); !why.empty()) return {false, why};
  if (!stmt) return {true, ""};  // only whitespace or comments
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) return {false, errorText(db)};
  return {true, ""};
}

std::vector<SqlRow> SqliteTool::queryDBData(const std::string& querySQL) {
  if (querySQL.empty() || !runSqliteDB_) return {};
  int rc = SQLITE_OK;
  Statement stmt = prepare(runSqliteDB_.get(), querySQL.c_str(), nullptr, &rc);
  if (rc != SQLITE_OK || !stmt) return {};
  return collectRows(stmt.get());
}

bool SqliteTool::forEachRow(const std::string& querySQL,
                            const std::function<void(const SqlRow&)>& row) {
  if (querySQL.empty() || !runSqliteDB_) return false;
  int rc = SQLITE_OK;
  Statement stmt = prepare(runSqliteDB_.get(), querySQL.c_str(), nullptr, &rc);
  if (rc != SQLITE_OK || !stmt) return false;
  eachRow(stmt.get(), row);
  return true;
}

std::vector<SqlRow> SqliteTool::queryDBData(const std::string& querySQL,
                                            const std::vector<SqlValue>& params) {
  sqlite3* db = runSqliteDB_.get();
  if (querySQL.empty() || db == nullptr) return {};
  const char* tail = nullptr;
  int rc = SQLITE_OK;
  Statement stmt = prepare(db, querySQL.c_str(), &tail, &rc);
  if (rc != SQLITE_OK || !stmt || !onlyCommentsIn(db, tail)) return {};
  if (!bindAll(db, stmt.get(), params).empty()) return {};
  return collectRows(stmt.get());
}

}  // namespace orvexa
