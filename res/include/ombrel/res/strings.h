// The program's numbered string table.
#pragma once

namespace ombrel::res {

// Hands the table to the layer's string services; the program's start does
// it first.
void RegisterStrings();

} // namespace ombrel::res
