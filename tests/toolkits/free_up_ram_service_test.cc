#include <gtest/gtest.h>

#include <string>

#include "orvexa/toolkits/free_up_ram_service.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

TEST(FreeUpRamStatisticsTest, CountersMapToTheHostFigures) {
  testing::TempDir dir;
  const uint64_t page = FreeUpRamService::pageSize();
  const struct {
    const char* name;
    std::string vmstat;
    VMStatistics expected;
  } cases[] = {
      {"slab in pages",
       "nr_free_pages 100\nnr_zone_inactive_anon 7\nnr_inactive_anon 10\nnr_active_anon 20\n"
       "nr_inactive_file 30\nnr_active_file 40\nnr_unevictable 5\nnr_slab_unreclaimable 6\n"
       "nr_kernel_stack " +
           std::to_string(page / 1024 * 3) + "\nnr_page_table_pages 2\nnr_zspages 9\n",
       {100, 60, 40, 0, 5 + 6 + 3 + 2, 9}},
      {"slab in bytes",
       "nr_free_pages 1\nnr_slab_unreclaimable_B " + std::to_string(page * 4) +
           "\nnr_slab_unreclaimable 77\n",
       {1, 0, 0, 0, 4, 0}},
      {"unknown lines are ignored",
       "nr_free_pages 3\nnot a counter\npgfault 99\n",
       {3, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<VMStatistics> stats =
        FreeUpRamService::readStatistics(dir.writeFile(c.name, c.vmstat));
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->freeCount, c.expected.freeCount);
    EXPECT_EQ(stats->activeCount, c.expected.activeCount);
    EXPECT_EQ(stats->inactiveCount, c.expected.inactiveCount);
    EXPECT_EQ(stats->speculativeCount, 0u);
    EXPECT_EQ(stats->wireCount, c.expected.wireCount);
    EXPECT_EQ(stats->compressorPageCount, c.expected.compressorPageCount);
  }
  EXPECT_FALSE(FreeUpRamService::readStatistics(dir / "missing").has_value());
  EXPECT_FALSE(FreeUpRamService::readStatistics(dir.writeFile("empty", "")).has_value());
}

TEST(FreeUpRamStatisticsTest, MeminfoFields) {
  testing::TempDir dir;
  const std::string meminfo = dir.writeFile(
      "meminfo",
      "MemTotal:       2048 kB\nMemFree:  10 kB\nMemAvailable:   1024 kB\nHugePages_Total: 4\n");
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "MemTotal"), 2048u * 1024);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "MemAvailable"), 1024u * 1024);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "HugePages_Total"), 4u);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "Mem"), std::nullopt);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(dir / "missing", "MemTotal"), std::nullopt);
}

// The figures of this machine hang together: in use is part of the whole,
// and the whole is no more than the physical memory.
TEST(FreeUpRamServiceTest, TheMachinesFigures) {
  FreeUpRamService service;
  const float inUse = service.getMemory();
  const float all = service.getAllMemory();
  EXPECT_GT(inUse, 0.0f);
  EXPECT_LE(inUse, all);
  EXPECT_LE(all, static_cast<float>(FreeUpRamService::physicalMemory()) * 1.01f);
}

TEST(FreeUpRamServiceTest, TheBlockStaysWithinTheCap) {
  FreeUpRamService service;
  for (uint64_t cap : {uint64_t{1}, uint64_t{3} << 20, FreeUpRamService::kChunkSize + 4096}) {
    SCOPED_TRACE(cap);
    FreeUpRamService::setMaximumBlockSize(cap);
    EXPECT_LE(service.blockSize(), cap);
    EXPECT_TRUE(service.freeUpRam("unused", 0));
  }
  // Without a cap the kernel's available memory (less the headroom) bounds it.
  FreeUpRamService::setMaximumBlockSize(0);
  const uint64_t available =
      FreeUpRamService::readMeminfoBytes("/proc/meminfo", "MemAvailable").value_or(0);
  EXPECT_LE(service.blockSize(), available);
}

}  // namespace
}  // namespace orvexa
