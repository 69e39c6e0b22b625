// Long native work asks whether to go on (common/interruption.h): the tree
// walk between folders, a folder read between batches of entries. The
// bindings answer with the interpreter's signal handlers; here a listener
// that says "stop" after a number of questions stands in for them.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "harness.h"
#include "pagecase/core/name_order.h"
#include "pagecase/core/walk.h"
#include "stop_after.h"

namespace {

namespace fs = std::filesystem;

using native_tests::StopAfter;

struct Tree {
    Tree() : root(fs::temp_directory_path() / ("tw-native-walk-" + std::to_string(::rand()))) {
        for (int k = 0; k < 30; ++k)
            fs::create_directories(root / ("folder" + std::to_string(k)));
    }
    ~Tree() { fs::remove_all(root); }
    fs::path root;
};

int folders_walked(tw::pagecase::TreeWalk& walk) {
    int walked = 0;
    while (walk.next()) {
        ++walked;
        std::vector<std::uint32_t> kept;
        for (std::uint32_t k = 0; k < walk.entries().entries().size(); ++k)
            kept.push_back(k);
        walk.descend_into(kept);
    }
    return walked;
}

NATIVE_TEST(a_tree_walk_asks_between_folders_and_stops_when_told) {
    Tree tree;
    tw::pagecase::TreeWalk whole, cut;
    whole.start(tree.root.string());
    CHECK_EQ(folders_walked(whole), 31); // no listener: nothing stops it
    StopAfter stop(5);
    cut.start(tree.root.string());
    CHECK_EQ(folders_walked(cut), 5);
    CHECK_EQ(stop.asked, 6);
    CHECK(stop.long_work); // 30 folders ahead of it after the first
}

NATIVE_TEST(a_large_folder_read_asks_between_batches_and_stops_when_told) {
    Tree tree;
    fs::path wide = tree.root / "wide";
    fs::create_directory(wide);
    for (int k = 0; k < 3000; ++k)
        std::ofstream(wide / ("entry" + std::to_string(k)));
    tw::pagecase::DirectoryEntries entries;
    {
        StopAfter never(1000);
        CHECK_EQ(tw::pagecase::read_directory(wide.string(), entries), 0);
        CHECK_EQ(entries.entries().size(), std::size_t{3000});
        CHECK(never.asked >= 2); // every so many entries
    }
    StopAfter stop(0);
    CHECK_EQ(tw::pagecase::read_directory(wide.string(), entries), EINTR);
    CHECK(entries.entries().size() < 3000);
}

NATIVE_TEST(a_large_sort_asks_between_steps_and_stops_when_told) {
    std::vector<std::string> texts;
    texts.push_back("Zz"); // equal to the last once lower-cased: stays first of the two
    for (int k = 0; k < 40000; ++k) {
        std::string name = k % 2 ? "B" : "a";
        name += std::to_string(k * 7919 % 40000);
        texts.push_back(std::move(name));
    }
    texts.push_back("zZ");
    std::vector<std::string_view> names(texts.begin(), texts.end());
    auto lowered = [&](std::uint32_t k) {
        std::string text = texts[k];
        for (char& c : text)
            c = static_cast<char>(std::tolower(c));
        return text;
    };
    {
        StopAfter never(1000);
        std::optional<std::vector<std::uint32_t>> order =
            tw::pagecase::order_by_lowered_ascii(names);
        CHECK(order.has_value() && order->size() == names.size());
        for (std::size_t k = 1; order && k < order->size(); ++k)
            CHECK(lowered((*order)[k - 1]) <= lowered((*order)[k]));
        CHECK(order && order->back() == texts.size() - 1 && (*order)[order->size() - 2] == 0);
        CHECK(never.asked >= 8); // runs of 8,192, then merge steps
    }
    StopAfter stop(2);
    CHECK(!tw::pagecase::order_by_lowered_ascii(names).has_value());
}

} // namespace
