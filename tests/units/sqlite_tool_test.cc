#include "orvexa/units/sqlite_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <tuple>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using Result = std::pair<bool, std::string>;
using Rows = std::vector<SqlRow>;

// Integers and reals come back as decimal text, blobs as their bytes; a NULL
// column has no key at all. A query that fails gives no rows, one that fails
// at a row ends there; only its first statement runs.
TEST(SqliteToolTest, RowsBoundValuesAndOpenFailures) {
  testing::TempDir dir;
  SqliteTool tool;
  ASSERT_TRUE(tool.openDB(dir / "store.db"));
  auto exec = [&tool](const std::string& sql) {
    ASSERT_EQ(tool.executionSQL(sql), Result(true, "")) << sql;
  };
  exec(
      "create table t(i integer, r real, s text, b blob, n);"
      "insert into t values(42, 2.5, 'x', x'00ff41', null);"
      "insert into t values(-9223372036854775808, 1e100, '', x'', null);"
      "create table n(x integer); insert into n values(1),(2),(3),(4);");
  // A runtime error at the third row: integer overflow.
  const std::string overflowAtThirdRow =
      "select case when x < 3 then x else abs((x - 3) + (-9223372036854775807 - 1)) end as v "
      "from n";
  // clang-format off
  const std::tuple<const char*, std::string, Rows> cases[] = {
      {"every type",
       "select * from t order by rowid",
       {{{"i", "42"}, {"r", "2.5"}, {"s", "x"}, {"b", std::string("\0\xff\x41", 3)}},
        {{"i", "-9223372036854775808"}, {"r", "1.0e+100"}, {"s", ""}, {"b", ""}}}},
      {"the later of same-named columns wins", "select 1 as id, 77 as id", {{{"id", "77"}}}},
      {"a later NULL does not erase an earlier value", "select 'first' as v, null as v", {{{"v", "first"}}}},
      {"every column NULL: empty row still returned", "select null as a, null as b union all select null, null", {{}, {}}},
      {"name that is not UTF-8 is left out", "select 1 as \"\xff\xfe\", 2 as ok", {{{"ok", "2"}}}},
      {"no rows", "select * from n where x > 9", {}},
      {"error at the third row", overflowAtThirdRow, {{{"v", "1"}}, {{"v", "2"}}}},
      {"first statement only", "select 1 as a; delete from n;", {{{"a", "1"}}}},
      {"the delete did not run", "select count(*) as c from n", {{{"c", "4"}}}},
  };
  // clang-format on
  for (const auto& [name, sql, rows] : cases) EXPECT_EQ(tool.queryDBData(sql), rows) << name;
  // forEachRow shares the row reader.
  Rows streamed;
  EXPECT_TRUE(tool.forEachRow("select 1 as a", [&](const SqlRow& r) { streamed.push_back(r); }));
  EXPECT_EQ(streamed, (Rows{{{"a", "1"}}}));
  for (const char* sql : {"", "select * from missing", "selec nonsense"}) {
    EXPECT_TRUE(tool.queryDBData(sql).empty()) << sql;
    EXPECT_FALSE(tool.forEachRow(sql, [](const SqlRow&) {})) << sql;
  }
  // The probe is how callers tell. Execution runs every statement, reports
  // SQLite's message and stays usable.
  EXPECT_EQ(tool.executionSQL(overflowAtThirdRow), (Result{false, "integer overflow"}));
  exec("create table u(x integer primary key); insert into u values(1); insert into u values(2)");
  EXPECT_EQ(tool.executionSQL("insert into u values(1)"),
            (Result{false, "UNIQUE constraint failed: u.x"}));
  EXPECT_EQ(tool.executionSQL(""), (Result{true, ""}));
  EXPECT_EQ(tool.queryDBData("select count(*) as n from u"), (Rows{{{"n", "2"}}}));

  // Hostile texts and blobs are stored as given; misuse is refused before
  // anything runs.
  exec("create table cookie(host text, value, flags integer, score real)");
  const std::string hostile = "x'); drop table cookie; --\" \\ ' ;";
  // clang-format off
  const std::pair<const char*, std::vector<SqlValue>> inserts[] = {
      {"insert into cookie values(?, ?, ?, ?)", {hostile, std::vector<uint8_t>{0x00, 0x27, 0x3B, 0xFF}, int64_t{-7}, 0.25}},
      {"insert into cookie values(?1, ?2, ?3, ?4)", {std::string("plain"), nullptr, INT64_MAX, 1.5}},
      {"insert into cookie values(:h, :v, 0, 0)", {std::string(""), std::vector<uint8_t>{}}},
  };
  // clang-format on
  for (const auto& [sql, values] : inserts)
    EXPECT_EQ(tool.executionSQL(sql, values), Result(true, ""));
  EXPECT_EQ(tool.queryDBData("select * from cookie where host = ?", {hostile}),
            (Rows{{{"host", hostile},
                   {"value", std::string("\0';\xff", 4)},
                   {"flags", "-7"},
                   {"score", "0.25"}}}));
  // A NULL leaves its column out; an empty blob is a value.
  EXPECT_EQ(tool.queryDBData("select host, value, flags, typeof(value) as t from cookie "
                             "where flags >= ? order by flags",
                             {int64_t{0}}),
            (Rows{{{"host", ""}, {"value", ""}, {"flags", "0"}, {"t", "blob"}},
                  {{"host", "plain"}, {"flags", "9223372036854775807"}, {"t", "null"}}}));

  // Each with one bound value.
  // clang-format off
  const std::pair<const char*, const char*> misuse[] = {
      {"delete from cookie where host = ? or host = ?", "Statement takes 2 parameters, 1 given"},
      {"delete from cookie", "Statement takes 0 parameters, 1 given"},
      {"delete from cookie where host = ?; delete from cookie", "Bound parameters need exactly one statement"},
      {"delete frm cookie where host = ?", "near \"frm\": syntax error"},
  };
  // clang-format on
  for (const auto& [sql, message] : misuse) {
    EXPECT_EQ(tool.executionSQL(sql, {std::string("plain")}), Result(false, message));
    EXPECT_TRUE(tool.queryDBData(sql, {std::string("plain")}).empty()) << sql;
  }
  EXPECT_EQ(tool.queryDBData("select count(*) as n from cookie"), (Rows{{{"n", "3"}}}));
  // Trailing semicolons and comments are not a second statement.
  EXPECT_TRUE(tool.executionSQL("select ?; -- probe\n", {int64_t{1}}).first);
  EXPECT_TRUE(tool.closeDB(dir / "store.db"));

  // A missing file is created; a file that is no database opens (SQLite reads
  // the header only when needed), fails the probe and stays untouched. An open
  // failure goes to lastError (and the log), never to standard output; a named
  // pipe is not opened (SQLite would block on it).
  EXPECT_TRUE(tool.openDB(dir / "new.db") && std::filesystem::exists(dir / "new.db") &&
              tool.closeDB(dir / "new.db"));
  const std::string fake = dir.writeFile("fake.db", std::string(4096, 'z'));
  ASSERT_TRUE(tool.openDB(fake));
  EXPECT_EQ(tool.executionSQL("select * from sqlite_master"),
            Result(false, "file is not a database"));
  EXPECT_TRUE(tool.closeDB(fake));
  EXPECT_EQ(testing::readFile(fake), std::string(4096, 'z'));

  ASSERT_EQ(::mkfifo((dir / "fifo.db").c_str(), 0600), 0);
  const std::pair<std::string, std::string> failures[] = {
      {dir / "no/such/folder/x.db", ": unable to open database file"},
      {dir / "fifo.db", ": not a regular file (a named pipe)"},
  };
  for (const auto& [path, reason] : failures) {
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(tool.openDB(path) || tool.isOpen());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(tool.lastError(), path + reason);
  }
  // Without a connection every operation fails quietly.
  EXPECT_EQ(tool.executionSQL("select ?", {int64_t{1}}), Result(false, "Error"));
  EXPECT_TRUE(tool.closeDB("", /*forcedClose=*/false));
}

}  // namespace
}  // namespace orvexa
