// Pieces of the general API shared with tests.
#pragma once
#include <cstddef>
#include <cstdint>

// The xoshiro256** generator and its seeding rule.
uint64_t xoshiro_next(uint64_t s[4]);
void xoshiro_seed(uint64_t s[4], uint64_t seed);

// Angles in turns, y pointing down; exact at the quarter turns.
double turn_cos(double x);
double turn_sin(double x);

// "YYYY-MM-DD HH:MM:SS" read from fixed positions as UTC; bytes past len read as 0.
int64_t date_text_to_time(const char* s, size_t len);
