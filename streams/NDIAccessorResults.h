#pragma once
// What the protocol library's reply accessors return, by name.
namespace Velantor::NDIAccessorResult {

constexpr int kValid = 0;
// Disabled, not in the reply, or no data.
constexpr int kDisabled = 1;
// Out of view (or an index outside the count).
constexpr int kMissing = 2;
// No tool on the port.
constexpr int kUnoccupied = 3;

}  // namespace Velantor::NDIAccessorResult
