#include "orvexa/units/sqlite_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using orvexa::testing::TempDir;

class SqliteToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dbPath_ = dir_ / "store.db";
    ASSERT_TRUE(tool_.openDB(dbPath_));
  }
  void TearDown() override { EXPECT_TRUE(tool_.closeDB(dbPath_)); }

  void exec(const std::string& sql) {
    auto [ok, message] = tool_.executionSQL(sql);
    ASSERT_TRUE(ok) << sql << ": " << message;
    ASSERT_EQ(message, "");
  }

  TempDir dir_;
  std::string dbPath_;
  SqliteTool tool_;
};

TEST_F(SqliteToolTest, RowsAreDictionariesOfColumnText) {
  exec(
      "create table t(i integer, r real, s text, b blob, n);"
      "insert into t values(42, 2.5, 'x', x'00ff41', null);"
      "insert into t values(-9223372036854775808, 1e100, '', x'', null);");
  const std::vector<SqlRow> rows = tool_.queryDBData("select * from t order by rowid");
  ASSERT_EQ(rows.size(), 2u);
  // Integers and reals come back as decimal text, blobs as their bytes; the
  // NULL column has no key at all.
  EXPECT_EQ(rows[0], (SqlRow{{"i", "42"},
                             {"r", "2.5"},
                             {"s", "x"},
                             {"b", std::string("\0\xff"
                                               "A",
                                               3)}}));
  EXPECT_EQ(rows[1],
            (SqlRow{{"i", "-9223372036854775808"}, {"r", "1.0e+100"}, {"s", ""}, {"b", ""}}));
  EXPECT_EQ(std::stoll(rows[0].at("i")), 42);
}

TEST_F(SqliteToolTest, ColumnNameRules) {
  exec(
      "create table item(id integer, name text);"
      "create table visit(id integer, item integer, note text);"
      "insert into item values(1, 'page');"
      "insert into visit values(77, 1, null);");
  struct Case {
    const char* name;
    std::string sql;
    std::vector<SqlRow> rows;
  };
  const Case cases[] = {
      {"join: the right-hand id wins",
       "select * from item join visit on visit.item = item.id",
       {{{"id", "77"}, {"name", "page"}, {"item", "1"}}}},
      {"a later NULL does not erase an earlier value",
       "select 'first' as v, null as v",
       {{{"v", "first"}}}},
      {"every column NULL: empty row still returned",
       "select null as a, null as b union all select null, null",
       {{}, {}}},
      {"name that is not UTF-8 is left out", "select 1 as \"\xff\xfe\", 2 as ok", {{{"ok", "2"}}}},
      {"no rows", "select * from item where id = 999", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tool_.queryDBData(c.sql), c.rows);
    std::vector<SqlRow> streamed;
    EXPECT_TRUE(tool_.forEachRow(c.sql, [&](const SqlRow& row) { streamed.push_back(row); }));
    EXPECT_EQ(streamed, c.rows);
  }
}

TEST_F(SqliteToolTest, QueryFailuresAreSilentAndShort) {
  exec("create table t(x integer); insert into t values(1),(2),(3),(4);");
  EXPECT_TRUE(tool_.queryDBData("").empty());
  EXPECT_TRUE(tool_.queryDBData("select * from missing").empty());
  EXPECT_TRUE(tool_.queryDBData("selec nonsense").empty());
  EXPECT_FALSE(tool_.forEachRow("selec nonsense", [](const SqlRow&) {}));
  // A runtime error at the third row (integer overflow) ends the result there.
  const std::string overflowAtThirdRow =
      "select case when x < 3 then x else abs((x - 3) + (-9223372036854775807 - 1)) end as v "
      "from t";
  EXPECT_EQ(tool_.queryDBData(overflowAtThirdRow),
            (std::vector<SqlRow>{{{"v", "1"}}, {{"v", "2"}}}));
  // The probe is how callers tell.
  EXPECT_EQ(tool_.executionSQL(overflowAtThirdRow),
            (std::pair<bool, std::string>{false, "integer overflow"}));
  // Only the first statement of a query text runs.
  EXPECT_EQ(tool_.queryDBData("select 1 as a; delete from t;"),
            (std::vector<SqlRow>{{{"a", "1"}}}));
  EXPECT_EQ(tool_.queryDBData("select count(*) as n from t"), (std::vector<SqlRow>{{{"n", "4"}}}));
  // Execution runs every statement, reports SQLite's message and stays usable.
  exec("create table u(x integer primary key); insert into u values(1); insert into u values(2)");
  EXPECT_EQ(tool_.executionSQL("insert into u values(1)"),
            (std::pair<bool, std::string>{false, "UNIQUE constraint failed: u.x"}));
  EXPECT_EQ(tool_.executionSQL(""), (std::pair<bool, std::string>{true, ""}));
  EXPECT_EQ(tool_.queryDBData("select count(*) as n from u"), (std::vector<SqlRow>{{{"n", "2"}}}));
}

TEST_F(SqliteToolTest, BoundValuesAreStoredVerbatim) {
  exec("create table cookie(host text, value, flags integer, score real)");
  const std::string hostile = "x'); drop table cookie; --\" \\ ' ;";
  const std::vector<uint8_t> blob = {0x00, 0x27, 0x3B, 0xFF};
  auto [ok, message] = tool_.executionSQL("insert into cookie values(?, ?, ?, ?)",
                                          {hostile, blob, int64_t{-7}, 0.25});
  ASSERT_TRUE(ok) << message;
  ASSERT_TRUE(tool_
                  .executionSQL("insert into cookie values(?1, ?2, ?3, ?4)",
                                {std::string("plain"), nullptr, INT64_MAX, 1.5})
                  .first);
  ASSERT_TRUE(tool_
                  .executionSQL("insert into cookie values(:h, :v, 0, 0)",
                                {std::string(""), std::vector<uint8_t>{}})
                  .first);

  EXPECT_EQ(tool_.queryDBData("select * from cookie where host = ?", {hostile}),
            (std::vector<SqlRow>{{{"host", hostile},
                                  {"value", std::string("\0';\xff", 4)},
                                  {"flags", "-7"},
                                  {"score", "0.25"}}}));
  EXPECT_EQ(
      tool_.queryDBData("select host, value, flags from cookie where flags > ?", {int64_t{0}}),
      (std::vector<SqlRow>{{{"host", "plain"}, {"flags", "9223372036854775807"}}}));
  // An empty blob is a value, not NULL.
  EXPECT_EQ(tool_.queryDBData("select typeof(value) as t from cookie where host = ''"),
            (std::vector<SqlRow>{{{"t", "blob"}}}));

  // Deleting by a bound value removes exactly that row.
  EXPECT_EQ(tool_.executionSQL("delete from cookie where host = ?", {hostile}),
            (std::pair<bool, std::string>{true, ""}));
  EXPECT_EQ(tool_.queryDBData("select count(*) as n from cookie"),
            (std::vector<SqlRow>{{{"n", "2"}}}));
}

TEST_F(SqliteToolTest, BoundStatementMisuseIsRefusedBeforeRunning) {
  exec("create table t(x text); insert into t values('keep');");
  struct Case {
    const char* name;
    std::string sql;
    std::vector<SqlValue> params;
    std::string message;
  };
  const Case cases[] = {
      {"too few values",
       "delete from t where x = ? or x = ?",
       {std::string("keep")},
       "Statement takes 2 parameters, 1 given"},
      {"too many values",
       "delete from t",
       {std::string("keep")},
       "Statement takes 0 parameters, 1 given"},
      {"second statement",
       "delete from t where x = ?; delete from t",
       {std::string("keep")},
       "Bound parameters need exactly one statement"},
      {"syntax error",
       "delete frm t where x = ?",
       {std::string("keep")},
       "near \"frm\": syntax error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tool_.executionSQL(c.sql, c.params),
              (std::pair<bool, std::string>{false, c.message}));
    EXPECT_TRUE(tool_.queryDBData(c.sql, c.params).empty());
  }
  EXPECT_EQ(tool_.queryDBData("select x from t"), (std::vector<SqlRow>{{{"x", "keep"}}}));
  // Trailing semicolons and comments are not a second statement.
  EXPECT_TRUE(tool_.executionSQL("select ?; -- probe\n", {int64_t{1}}).first);
}

TEST(SqliteToolOpenTest, MissingFileIsCreatedAndAFileThatIsNoDatabaseFailsTheProbe) {
  TempDir dir;
  SqliteTool tool;
  const std::string created = dir / "new.db";
  ASSERT_TRUE(tool.openDB(created));
  EXPECT_TRUE(std::filesystem::exists(created));
  EXPECT_TRUE(tool.closeDB(created));

  const std::string fake = dir.writeFile("fake.db", std::string(4096, 'z'));
  ASSERT_TRUE(tool.openDB(fake));  // SQLite reads the header only when needed
  EXPECT_EQ(tool.executionSQL("select * from sqlite_master"),
            (std::pair<bool, std::string>{false, "file is not a database"}));
  EXPECT_TRUE(tool.queryDBData("select * from sqlite_master").empty());
  EXPECT_TRUE(tool.closeDB(fake));
  EXPECT_EQ(testing::readFile(fake), std::string(4096, 'z'));  // untouched
}

// The reason goes to lastError (and the log), never to standard output; a
// named pipe is not opened (SQLite would block on it).
TEST(SqliteToolOpenTest, OpenFailureIsReportedNotPrinted) {
  TempDir dir;
  SqliteTool tool;
  ASSERT_EQ(::mkfifo((dir / "fifo.db").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir / "no/such/folder/x.db", ": unable to open database file"},
      {dir / "fifo.db", ": not a regular file (a named pipe)"},
  };
  for (const auto& [path, reason] : cases) {
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(tool.openDB(path));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(tool.lastError(), path + reason);
    EXPECT_FALSE(tool.isOpen());
  }
  // Without a connection every operation fails quietly.
  EXPECT_EQ(tool.executionSQL("select ?", {int64_t{1}}),
            (std::pair<bool, std::string>{false, "Error"}));
  EXPECT_TRUE(tool.queryDBData("select 1").empty());
  EXPECT_TRUE(tool.closeDB("", /*forcedClose=*/false));
}

}  // namespace
}  // namespace orvexa
