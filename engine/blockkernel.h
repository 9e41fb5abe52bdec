// The multiply-accumulate kernel of the offline convolver (Blockconv),
// where nearly all of a large matrix's time goes. Spectra are kept in
// chunks of CHUNK bins, the real parts then the imaginary ones (no
// shuffling of complex pairs in the loop), and one call computes one chunk
// of one output for every block of the call, its sums held in registers
// over all inputs and partitions and stored once, interleaved, as the
// inverse transform wants them.
//
// For block b and bin k of the chunk:
//   A.re = sum over inputs i, then partitions p: (X.re H.re - X.im H.im)
//   A.im = sum over inputs i, then partitions p: (X.re H.im + X.im H.re)
// where X is the input spectrum of slot[p * nblock + b] of input i and H
// partition p of the pair (i, this output). Each term is added to the sum
// so far, starting from zero, rounded after every operation (no fused
// multiply-add): every build and kernel gives the same bits. It is compiled
// once for the baseline instruction set (blockkernel.cc) and once more for
// AVX2 (blockkernel_avx2.cc); the convolver picks one at construction.
//
// REALTIME-SAFE: no allocation, no lock; any thread.

#ifndef TESS_BLOCKKERNEL_H
#define TESS_BLOCKKERNEL_H

#include <stdint.h>

enum
{
    CHUNK = 8,              // bins per chunk
    CHUNK_FLOATS = 2 * CHUNK
};

struct Chunkjob
{
    const float *x;         // this chunk of input i, slot s at (i * nring + s) * CHUNK_FLOATS
    const float *h;         // this chunk of the output's pair with input i, partition p at
                            // (i * npart + p) * CHUNK_FLOATS
    const int32_t *slot;    // history slot of block b for partition p at p * nblock + b
    float *acc;             // block b's CHUNK interleaved complex sums at acc + b * accstep
    int32_t accstep;        // floats
    int32_t ninp;
    int32_t npart;
    int32_t nring;
    int32_t nblock;
};

typedef void (*Blockkernel)(const Chunkjob &job);

void blockkernel_base(const Chunkjob &job);
void blockkernel_avx2(const Chunkjob &job);

// The fastest kernel this processor runs.
Blockkernel select_blockkernel();

#endif
