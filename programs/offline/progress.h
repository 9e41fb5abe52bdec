// Progress display of the offline program on a terminal: one line,
// rewritten in place with '\r', showing the share done and the speed as a
// multiple of realtime, at most four times a second; at the end it is
// replaced by a summary with the length, the speed, the output's peak level
// in dBFS and the number of samples beyond full scale, and the number of
// samples that are not finite numbers (from an input that holds such)
// when there are any.
//
// Only used when standard error is a terminal; otherwise the program
// prints nothing beyond its messages.
//
// Threads: main thread only. update() and measure() are cheap and allocate
// nothing, but they are not meant for a realtime thread (update() writes to
// stderr).

#ifndef TESS_PROGRESS_H
#define TESS_PROGRESS_H

#include <stdint.h>

class Progress
{
public:
    // 'total' frames are going to be written at 'rate' frames per second.
    Progress(int64_t total, int rate);

    // Peak, over-range and non-finite count of 'count' written samples;
    // the peak and over-range count are of the finite ones.
    void measure(const float *data, int64_t count);
    // 'done' frames have been written so far. Redraws the line when enough
    // time has passed since the last drawing.
    void update(int64_t done);
    // Replaces the line by the summary of a complete run.
    void finish(int64_t done);
    // Removes the line (interrupted or failed run), so that a message that
    // follows starts on a clean line.
    void clear();

    float peak() const { return _peak; }
    int64_t overs() const { return _overs; }
    int64_t nonfinite() const { return _nonfinite; }

    // Formats the summary line (no newline) into 'buf'; 'seconds' is the
    // wall time the run took.
    static void summary(char *buf, int size, int64_t frames, int rate, double seconds,
                        float peak, int64_t overs, int64_t nonfinite = 0);

private:
    static double now();
    void draw(const char *text);

    int64_t _total;
    int _rate;
    double _start;
    double _last;
    int _width;       // length of the line on screen, for overwriting
    float _peak;
    int64_t _overs;
    int64_t _nonfinite;
};

#endif
