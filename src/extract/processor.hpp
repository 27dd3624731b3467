// What the processor offers beyond the build's baseline, asked once, for code that picks its vector
// form at run time.
#pragma once

namespace korvex {

// Whether the processor has AVX2 and the system saves its registers; false on processors other
// than x86. Asked at the first call; later calls return the answer kept.
bool processorHasAvx2();

}  // namespace korvex
