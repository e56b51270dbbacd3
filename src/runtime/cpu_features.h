#pragma once
// Processor features, probed once per process.

namespace quillmark {

// True when the processor supports AVX2.
bool cpu_has_avx2();

}  // namespace quillmark
