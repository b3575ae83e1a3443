#include "writer/write_simulation.h"

#include "log_builder.h"
#include "support/faults.h"
#include "writer/output_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace korvath {
namespace {

namespace fs = std::filesystem;
using testing::LogBuilder;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "korvath-writer-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Every regular file below `root`, by relative path, with its text.
std::map<std::string, std::string> files_below(const fs::path& root) {
    std::map<std::string, std::string> files;
    if (!fs::exists(root)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        files[fs::relative(entry.path(), root).string()] = text.str();
    }
    return files;
}

// The smallest tree: root R (node 0), extant leaves A (1) and B (2), one family.
struct SmallestRun {
    EventLog log = LogBuilder().origin(0, 0.0, 0, 0).speciation(0, 0.0, 0, 0, 1, 2).log;
    std::vector<ExtantCopies> extant{{1, {{1, 0}}}, {2, {{2, 0}}}};
    std::vector<std::string> names{"R", "A", "B"};
};

TEST(WriteSimulation, SmallestTreeWorkedExample) {
    TempDir dir;
    SmallestRun run;
    const std::string outdir = (dir.path() / "out" / "nested").string();
    WriteCounts counts = write_simulation(run.log, run.extant, run.names, 1.0, outdir);
    EXPECT_EQ(counts.families_written, 1u);
    EXPECT_EQ(counts.events_logged, 2u);
    EXPECT_EQ(counts.extant_leaves, 2u);

    const std::map<std::string, std::string> expected{
        {"gene_family_events/1_events.tsv",
         "time\tevent\tbranch\tdonor\trecipient\tnodes\n"
         "0\tO\tR\t\t\torigin=0\n"
         "0\tS\tR\t\t\tparent=0;child=1;child=2\n"},
        {"gene_trees/1_complete.nwk", "(A_1:1,B_2:1)0:0;\n"},
        {"gene_trees/1_extant.nwk", "(A_1:1,B_2:1)0:0;\n"},
        {"Transfers.tsv",
         "time\tfamily\tdonor_branch\trecipient_branch\tparent_id\tdonor_copy_id\ttransfer_id\n"},
        {"Gene_family_summary.tsv",
         "family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\tn_speciation\t"
         "extant_copies\tspecies_present\n"
         "1\t0\tR\t0\t0\t0\t1\t2\t2\n"},
        {"Profiles.tsv", "family\tA\tB\n1\t1\t1\n"},
        {"Presence.tsv", "family\tA\tB\n1\t1\t1\n"},
    };
    EXPECT_EQ(files_below(outdir), expected);

    // Writing again into the same folder reuses it and gives the same files.
    write_simulation(run.log, run.extant, run.names, 1.0, outdir);
    EXPECT_EQ(files_below(outdir), expected);
}

TEST(WriteSimulation, TablesOfTransfersLossesAndColumnOrder) {
    // Leaves s10 (1), s9 (2), s1 (3) under root n0 (0). Family 0 is founded
    // and transferred, family 1 originates later and is lost; family 2 only
    // appears in leaf s9 (its events were not logged).
    LogBuilder b;
    b.origin(0, 0.0, 0, 0)
        .speciation(0, 0.0, 0, 0, 1, 2)
        .origin(1, 0.25, 1, 3)
        .transfer(1, 2, 3.0, 0, 1, 4, 5)
        .loss(1, 3.5, 1, 3);
    std::vector<ExtantCopies> extant{
        {1, {{4, 0}}}, {2, {{2, 0}, {5, 0}, {9, 2}}}, {3, {}}};
    std::vector<std::string> names{"n0", "s10", "s9", "s1"};
    TempDir dir;
    WriteCounts counts = write_simulation(b.log, extant, names, 4.0, dir.path().string());
    EXPECT_EQ(counts.families_written, 2u);
    EXPECT_EQ(counts.events_logged, 5u);
    EXPECT_EQ(counts.extant_leaves, 3u);

    auto files = files_below(dir.path());
    EXPECT_EQ(files["Transfers.tsv"],
              std::string(
                  "time\tfamily\tdonor_branch\trecipient_branch\tparent_id\tdonor_copy_id\t"
                  "transfer_id\n") +
                  "3\t1\ts10\ts9\t1\t4\t5\n");
    EXPECT_EQ(files["Gene_family_summary.tsv"],
              std::string("family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\t"
                          "n_speciation\textant_copies\tspecies_present\n") +
                  "1\t0\tn0\t0\t1\t0\t1\t3\t2\n"
                  "2\t0.25\ts10\t0\t0\t1\t0\t0\t0\n");
    EXPECT_EQ(files["Profiles.tsv"], "family\ts1\ts9\ts10\n1\t0\t2\t1\n3\t0\t1\t0\n");
    EXPECT_EQ(files["Presence.tsv"], "family\ts1\ts9\ts10\n1\t0\t1\t1\n3\t0\t1\t0\n");
    EXPECT_EQ(files["gene_family_events/2_events.tsv"],
              "time\tevent\tbranch\tdonor\trecipient\tnodes\n"
              "0.25\tO\ts10\t\t\torigin=3\n"
              "3.5\tL\ts10\t\t\tlost=3\n");
    EXPECT_EQ(files["gene_trees/1_complete.nwk"], "((s10_4:1,s9_5:1)1:3,s9_2:4)0:0;\n");
    EXPECT_EQ(files["gene_trees/2_complete.nwk"], "LOSS_3:3.25;\n");
    EXPECT_EQ(files.count("gene_trees/2_extant.nwk"), 0u);
    EXPECT_EQ(files.count("gene_family_events/3_events.tsv"), 0u);
}

TEST(WriteSimulation, UnwritableFamilyFileStopsBeforeTheTables) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores permissions";
    TempDir dir;
    fs::create_directories(dir.path() / "gene_family_events");
    fs::permissions(dir.path() / "gene_family_events", fs::perms::owner_read | fs::perms::owner_exec);
    SmallestRun run;
    EXPECT_THROW(write_simulation(run.log, run.extant, run.names, 1.0, dir.path().string()),
                 IoError);
    EXPECT_FALSE(fs::exists(dir.path() / "Transfers.tsv"));
    fs::permissions(dir.path() / "gene_family_events", fs::perms::owner_all);
}

TEST(WriteSimulation, DeepFamilyIsWrittenThroughThePool) {
    // 200,000 nested duplications in one family, each right copy extant.
    const std::size_t depth = 200000;
    LogBuilder b;
    b.origin(0, 0.0, 0, 0);
    CopyList copies;
    std::uint64_t gene = 0;
    for (std::size_t k = 0; k < depth; ++k) {
        const auto left = static_cast<std::int64_t>(2 * k + 1);
        b.dup(0, 0.5, 0, gene, left, left + 1);
        copies.push_back({static_cast<std::uint64_t>(left + 1), 0});
        gene = static_cast<std::uint64_t>(left);
    }
    copies.push_back({gene, 0});
    TempDir dir;
    WriteCounts counts =
        write_simulation(b.log, {{0, std::move(copies)}}, {"A"}, 1.0, dir.path().string());
    EXPECT_EQ(counts.events_logged, depth + 1);
    auto files = files_below(dir.path());
    EXPECT_EQ(files["gene_trees/1_complete.nwk"], files["gene_trees/1_extant.nwk"]);
    EXPECT_EQ(files["Profiles.tsv"], "family\tA\n1\t" + std::to_string(depth + 1) + "\n");
}

TEST(OutputFiles, DirectoryCreationAcceptsExistingAndMakesParents) {
    TempDir dir;
    const fs::path deep = dir.path() / "a" / "b" / "c";
    create_directory_all(deep.string());
    create_directory_all(deep.string());
    create_directory_all(deep.string() + "/");
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_EQ(os_error_message(ENOENT), "No such file or directory (os error 2)");
}

TEST(OutputFiles, DirectoryThatCannotBeMadeBelowAnExistingOneFailsAtOnce) {
    // /proc refuses new entries with ENOENT although it exists; walking up
    // and down again used to loop for ever.
    if (!fs::is_directory("/proc")) GTEST_SKIP() << "no /proc";
    for (const char* path : {"/proc/korvath-test", "/proc/korvath-test/a/b"}) {
        EXPECT_THROW(create_directory_all(path), IoError) << path;
    }
}

}  // namespace
}  // namespace korvath
