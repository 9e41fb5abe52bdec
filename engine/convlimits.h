// The limits of the convolvers, shared by the engine, the configuration
// reader and the programs (the JACK client sizes its port tables by them).

#ifndef TESS_CONVLIMITS_H
#define TESS_CONVLIMITS_H

enum
{
    MAXINP = 64,         // most inputs
    MAXOUT = 64,         // most outputs
    MAXLEN = 4096,       // longest impulse response of the uniform convolver, in samples
    MAXLEN_MIXED = 131072,   // longest impulse response of the mixed convolver
    MAXPER = 4096,       // longest period (a power of two)
    MAXTHR = 16          // most worker threads
};

#endif
