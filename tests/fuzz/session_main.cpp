// The session driver's main under another name, so a fuzzer can run it.
#define main KestruneMain
#include "session/main.cpp"
