// Room for the long sample arrays of whole files and of their analysis
// signal, laid out so that the kernel can back them with huge pages.
//
// The first write to each page of memory new to the process costs a fault;
// taken 4 KiB at a time, those faults are most of what reading a long file
// or analysing it for the first time costs. A 2 MiB page is one fault for
// 512 small ones. Where the allocator or the kernel places the memory
// otherwise, the room is the same and only the faults are not fewer.
#pragma once

#include <cstddef>
#include <vector>

namespace qm {

// Reserves room for at least n floats in an empty vector (any vector: a
// short one is simply reserved).
void reserveLarge(std::vector<float>& v, size_t n);

}  // namespace qm
