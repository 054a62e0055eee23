/* Preloaded into the updater under test: its 5-second wait returns at once. Used where strace,
 * which can skip it too, is not wanted (LeakSanitizer and valgrind runs). */
unsigned int sleep(unsigned int seconds) {
    (void)seconds;
    return 0;
}
