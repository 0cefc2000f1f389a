// The live options rows of the bench: a refresh after one value change against
// a full Init, and the latency from another process's RegSetValueExW to the
// sink's Changed.
#pragma once

#include <string>

namespace veska::bench {

// Prints the two rows; tree is a 2,000-key x 10-value subtree below
// HKEY_CURRENT_USER, program this program's path (started again as the writer).
void LiveRows(const std::wstring& tree, const std::wstring& program);

// The writer process: count values of the current time written to path, one
// every 200-400 ms. Returns the exit status.
int LiveWriter(const std::wstring& path, int count);

}  // namespace veska::bench
