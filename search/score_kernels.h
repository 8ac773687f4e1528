#pragma once
// The vector kernels of the window search: eight window positions side by side, x .. x + 7 of
// one row offset. Every kernel exists in an AVX2 variant and a baseline variant compiled from
// the same source; `score_kernels()` is the variant this processor runs, chosen once.

#include <vector>

constexpr int kernel_lanes = 8;

struct ScoreKernels {
    const char *name;

    // Scores the windows whose top-left cells are d[0 .. 7] (a map of row stride dw) against the
    // pw x ph pattern p, each lane summing |d - p| column by column in double, as the literal
    // window score does, with the cut-off at 500 (score 9999). Lanes marked in `dropped` are
    // not wanted. A lane is given up once its running sum passes `threshold`; kept[lane] tells
    // whether scores[lane] is the window's score (a cut-off, or a sum not above the threshold).
    void (*score_eight)(const float *d, int dw, const float *p, int pw, int ph, double threshold,
                        const bool dropped[kernel_lanes], float scores[kernel_lanes],
                        bool kept[kernel_lanes]);

    // bounds[lane] = sum over k < pw of |pieces[k + lane] - columns[k]|, in double.
    void (*bounds_eight)(const double *pieces, const double *columns, int pw,
                         double bounds[kernel_lanes]);
};

// Every variant this processor can run, the preferred one first.
const std::vector<ScoreKernels> &available_score_kernels();

// The preferred variant.
const ScoreKernels &score_kernels();
