#pragma once
// Processor features, probed once per process.

namespace quillmark {

// True when the processor supports AVX2.
bool cpu_has_avx2();
// True when the processor supports FMA (three-operand fused multiply-add).
bool cpu_has_fma();
// True when the processor (and the operating system) supports AVX-512F.
bool cpu_has_avx512f();

}  // namespace quillmark
