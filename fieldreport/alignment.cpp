// SPDX-License-Identifier: Apache-2.0
#include "alignment.h"

#include <cstdio>
#include <cstdlib>

#include "diff.h"

namespace fieldreport {
using namespace score;
namespace {

// The pairs of one window, as score's solve keeps them: the longest chain of pairs, cut after
// the last one within the first `olength` master characters. Returns the compare characters
// the window consumed.
int windowPairs(ScoreState& st, int olength, int mbase, int cbase, std::vector<std::pair<int, int>>& pairs) {
  node* nodes = st.nodes;
  const std::uint32_t total = st.total;
  if (total == 1) return 0;
  fastChainSearch(nodes, total, kNodeCount);
  std::uint32_t end = 0;
  for (std::uint32_t i = 1; i < total; ++i)
    if (nodes[i].length > nodes[end].length) end = i;
  if (nodes[end].length == 0) return 0;
  nodes[end].forward = 0;
  for (std::int32_t n = static_cast<std::int32_t>(end); n != 0;) {
    const std::int32_t p = nodes[n].parent;
    nodes[p].forward = nodes[n].match >= olength ? 0 : n;
    n = p;
  }
  std::int32_t last = 0;
  for (std::int32_t n = nodes[0].forward; n != 0; n = nodes[n].forward) {
    pairs.emplace_back(mbase + nodes[n].match, cbase + nodes[n].pos);
    last = n;
  }
  return nodes[last].pos + 1;
}

}  // namespace

KeptText keptText(std::string_view raw) {
  KeptText kept;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const int c = keepByte(static_cast<unsigned char>(raw[i]));
    if (c < 0) continue;
    kept.text += static_cast<char>(c);
    kept.from.push_back(static_cast<int>(i));
  }
  return kept;
}

std::vector<std::pair<int, int>> alignedPairs(std::string_view keptMaster, std::string_view keptCompare) {
  std::vector<std::pair<int, int>> pairs;
  const auto* master = reinterpret_cast<const unsigned char*>(keptMaster.data());
  const auto* compare = reinterpret_cast<const unsigned char*>(keptCompare.data());
  const int mlength = static_cast<int>(keptMaster.size()), clength = static_cast<int>(keptCompare.size());
  ScoreState st{};
  st.console = stderr;
  if (!init(st)) return pairs;
  // As score walks the texts: identical stretches as they are, the rest in windows.
  int mpos = 0, cpos = 0;
  while (mpos < mlength) {
    while (mpos < mlength && cpos < clength && master[mpos] == compare[cpos])
      pairs.emplace_back(mpos++, cpos++);
    if (mpos >= mlength) break;
    const int left = mlength - mpos;
    const int mwindow = left >= kWindow ? kWindow : left;
    const int cwindow = clength - cpos >= kWindow ? kWindow : clength - cpos;
    const int step = left >= kWindow ? kStep : left;
    if (!build(st, mwindow, master + mpos, cwindow, compare + cpos)) break;
    cpos += windowPairs(st, step, mpos, cpos, pairs);
    mpos += step;
  }
  std::free(st.nodes);
  return pairs;
}

}  // namespace fieldreport
