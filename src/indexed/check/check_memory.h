// The walk tables of the structural check (every live record, node and
// chain slot of a file, the report's text) are standard containers over
// the describing allocator, described as "dorvex check tables". The check
// is an operator's tool, not a file operation: a table that cannot grow
// ends the process (support/described_allocator.h).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/described_allocator.h"

namespace kel::indexed {

inline constexpr char kCheckTables[] = "dorvex check tables";
template <class T>
using CheckAlloc = Described<T, kCheckTables>;
using CheckString = std::basic_string<char, std::char_traits<char>, CheckAlloc<char>>;
template <class T>
using CheckVector = std::vector<T, CheckAlloc<T>>;
template <class K>
using CheckSet = std::set<K, std::less<K>, CheckAlloc<K>>;
template <class K, class V>
using CheckMap = std::map<K, V, std::less<K>, CheckAlloc<std::pair<const K, V>>>;

}  // namespace kel::indexed
