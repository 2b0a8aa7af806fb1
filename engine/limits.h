// The program's one limit on ports: 256 pairs, numbered 0..255, whose user
// sides are named COM1..COM256. Every table, list and name check sizes itself
// from here.
#pragma once

constexpr int kPortCount = 256;
constexpr int kComNumberMax = kPortCount;  // COM names run COM1..COM<kPortCount>
