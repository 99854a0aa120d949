#pragma once
// EnvironmentPauseMs: a pause in milliseconds that an environment variable may shorten, for
// tests that must not wait out the real one. The variable counts only when it is a whole
// number from 1 to the default; anything else, or no variable, gives the default.

int EnvironmentPauseMs(const char* variable, int defaultMs);
