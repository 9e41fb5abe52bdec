// A cache of FFT plans ("wisdom") kept between runs of the programs.
//
// Planning the convolver's transforms by measurement takes a good part of
// a second for the larger periods, longer than a short job's convolution.
// The planner's findings are kept in a small file, so that a later run
// with the same period gets the same plans at once. Nothing computed
// depends on the cache: with or without it the plans are made with the
// same flags, and a missing, unreadable or damaged file only means
// planning from scratch.
//
// The file is $TESS_WISDOM when that is set (set and empty: no cache),
// otherwise $XDG_CACHE_HOME/tess/fftwf-wisdom, otherwise
// $HOME/.cache/tess/fftwf-wisdom.
//
// Threads: control thread only, never while a plan is being made (the
// planner is not thread-safe). Not realtime-safe. Nothing is printed.

#ifndef TESS_WISDOM_H
#define TESS_WISDOM_H

#include <string>

class Wisdom
{
public:
    // Reads the cache, if any. Returns 0 when plans were read, 1 otherwise.
    int load();
    // Writes what the planner knows now, when it knows more than was read.
    // The file is replaced atomically, so concurrent runs never see half of
    // one. Returns 0 (also when nothing was new) or 1 on failure.
    int save();

    // The cache file, or "" when the cache is switched off.
    static std::string path();

private:
    std::string _loaded;   // the planner's state after load()
};

#endif
