#include "progress.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

// Seconds between two drawings of the progress line.
static const double INTERVAL = 0.25;
// Nothing is drawn before the run has lasted this long, so short runs
// print only the summary.
static const double DELAY = 0.5;

Progress::Progress(int64_t total, int rate) :
    _total(total), _rate(rate), _width(0), _peak(0), _overs(0), _nonfinite(0)
{
    _start = now();
    _last = _start + DELAY - INTERVAL;
}

double Progress::now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

void Progress::measure(const float *data, int64_t count)
{
    float p = _peak;
    int64_t n = 0;
    int64_t bad = 0;
    for (int64_t i = 0; i < count; i++)
    {
        float a = fabsf(data[i]);
        // False for NaN and for infinity alike.
        bool finite = a <= FLT_MAX;
        if (!finite) bad++;
        else
        {
            if (a > p) p = a;
            if (a > 1.0f) n++;
        }
    }
    _peak = p;
    _overs += n;
    _nonfinite += bad;
}

void Progress::draw(const char *text)
{
    int len = (int) strlen(text);
    int pad = _width > len ? _width - len : 0;
    fprintf(stderr, "\r%s%*s", text, pad, "");
    if (pad) fprintf(stderr, "\r%s", text);
    fflush(stderr);
    _width = len;
}

void Progress::update(int64_t done)
{
    double t = now();
    if (t - _last < INTERVAL) return;
    _last = t;
    char text[100];
    double pct = _total > 0 ? 100.0 * done / _total : 100.0;
    double speed = (double) done / _rate / (t - _start);
    snprintf(text, sizeof text, "%5.1f%%  %.1fx realtime", pct, speed);
    draw(text);
}

void Progress::summary(char *buf, int size, int64_t frames, int rate, double seconds,
                       float peak, int64_t overs, int64_t nonfinite)
{
    double length = (double) frames / rate;
    char speed[32];
    if (seconds > 0) snprintf(speed, sizeof speed, "%.1fx realtime", length / seconds);
    else snprintf(speed, sizeof speed, "instant");
    char level[32];
    if (peak > 0) snprintf(level, sizeof level, "%.1f dBFS", 20 * log10(peak));
    else snprintf(level, sizeof level, "-inf dBFS");
    int n = snprintf(buf, size, "%.3f s written, %s, peak %s, %lld samples over full scale",
                     length, speed, level, (long long) overs);
    if (nonfinite && n >= 0 && n < size)
        snprintf(buf + n, size - n, ", %lld samples not finite (NaN or infinite)", (long long) nonfinite);
}

void Progress::finish(int64_t done)
{
    char text[200];
    summary(text, sizeof text, done, _rate, now() - _start, _peak, _overs, _nonfinite);
    draw(text);
    fputc('\n', stderr);
    _width = 0;
}

void Progress::clear()
{
    if (!_width) return;
    fprintf(stderr, "\r%*s\r", _width, "");
    fflush(stderr);
    _width = 0;
}
