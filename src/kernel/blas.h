#pragma once
// The single BLAS routine the kernel needs. The BLAS is a private OpenBLAS
// copy (symbols prefixed), so pinning it to one thread affects no other
// library in the process, NumPy's own BLAS included.

namespace quillmark::blas {

// Column-major C = alpha * op(A) * op(B) + beta * C with 32-bit integers.
// Always runs on the calling thread: parallelism comes from our own pools.
void sgemm(char transa, char transb, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc);

}  // namespace quillmark::blas
