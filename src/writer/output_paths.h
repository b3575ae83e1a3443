// Paths below the output directory, joined the way the platform's path
// type does: an empty directory adds nothing, a trailing slash is not doubled.
#pragma once

#include <string>
#include <string_view>

namespace korvath {

inline std::string join_path(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

inline constexpr char kEventsDirectory[] = "gene_family_events";
inline constexpr char kTreesDirectory[] = "gene_trees";

}  // namespace korvath
