// Tovwatch, the tray monitor of the crawler.
#include "monitor/TovwatchProgram.h"

int main(int argc, char** argv) { return tov::TovwatchMain(argc, argv); }
