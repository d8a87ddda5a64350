// The one wrapper through which the library reads and edits other programs'
// SQLite databases. An instance holds at most one connection, opened by
// openDB and owned until closeDB or destruction.
//
// Thread-safety: none. Each scan or clean creates its own instance for each
// database and uses it on one queue; an instance must never be shared between
// threads.
//
// Every connection waits up to busyTimeout() for a lock another connection
// (the store's own program, say) holds before an operation fails; locked()
// then tells such a failure from others.
//
// Values that come from other programs' stores (names, URLs, identifiers)
// must reach SQL through the bound-parameter overloads, never by pasting them
// into statement text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct sqlite3;

namespace orvexa {

// One bound parameter: NULL, integer, real, text (UTF-8) or blob.
using SqlValue = std::variant<std::nullptr_t, int64_t, double, std::string, std::vector<uint8_t>>;

// One result row: column name -> the column's text form as SQLite renders it
// (integers and reals as decimal text, blobs as their raw bytes). A NULL
// column and a column whose name is not valid UTF-8 are absent; of several
// columns with one name, the right-most non-NULL one wins.
using SqlRow = std::map<std::string, std::string>;

class SqliteTool {
 public:
  SqliteTool();
  ~SqliteTool();
  SqliteTool(const SqliteTool&) = delete;
  SqliteTool& operator=(const SqliteTool&) = delete;

  // Opens `dbPath` read-write, creating the file when it does not exist, and
  // closes any connection held before. A path that names anything but a
  // regular file (a named pipe, socket, device or folder) is not opened. On
  // failure the reason goes to the log and to lastError() (never to standard
  // output, where it would corrupt a document), no connection is held and
  // the result is false.
  bool openDB(const std::string& dbPath);
  // Why the last openDB failed, in words naming the path; empty after a
  // successful open.
  const std::string& lastError() const { return lastError_; }

  // Closes the connection: with forcedClose, SQLite releases it once its last
  // statement is finished (always succeeds here, as no statement outlives an
  // operation); without, the close fails while a statement is open and the
  // connection stays held. True when the close succeeded or nothing was open.
  // `dbPath` is not used to choose the connection.
  bool closeDB(const std::string& dbPath, bool forcedClose = true);

  // Runs the statement text (several statements are allowed), discarding any
  // rows. (true, "") on success; (false, SQLite's error text, or "Error" when
  // SQLite gives none). Callers probe a query with it before queryDBData: a
  // database that cannot be read fails here. The connection stays usable.
  std::pair<bool, std::string> executionSQL(const std::string& SQL);

  // Runs exactly one statement whose `?`/`?NNN`/`:name` parameters are bound
  // to `params` in order, stepping it to its end and discarding rows. The
  // number of values must equal the statement's parameter count. Results as
  // executionSQL.
  std::pair<bool, std::string> executionSQL(const std::string& SQL,
                                            const std::vector<SqlValue>& params);

  // All rows of the query in SQLite's order. Empty for empty text, when the
  // statement cannot be prepared, or when nothing is open; a step error ends
  // the rows early, silently. Only the first statement of the text runs.
  std::vector<SqlRow> queryDBData(const std::string& querySQL);
  // As queryDBData, handing each row to `row` as it is read rather than
  // keeping them all: a store of many rows costs the memory of one. False
  // when nothing ran.
  bool forEachRow(const std::string& querySQL, const std::function<void(const SqlRow&)>& row);

  // As queryDBData, for exactly one statement with parameters bound as for
  // executionSQL; empty when the text holds more than one statement or the
  // values cannot be bound.
  std::vector<SqlRow> queryDBData(const std::string& querySQL, const std::vector<SqlValue>& params);

  bool isOpen() const { return runSqliteDB_ != nullptr; }

  // True when the last operation failed because another connection held a
  // lock on the database past the busy timeout (SQLITE_BUSY or
  // SQLITE_LOCKED).
  bool locked() const;

  // How long a connection opened from now on waits for another's lock: a few
  // seconds unless set (process-wide; tests shorten it). Thread-safe.
  static std::chrono::milliseconds busyTimeout();
  static void setBusyTimeout(std::chrono::milliseconds timeout);

 private:
  struct Closer {
    void operator()(sqlite3* db) const;
  };
  std::unique_ptr<sqlite3, Closer> runSqliteDB_;
  std::string lastError_;
};

}  // namespace orvexa
