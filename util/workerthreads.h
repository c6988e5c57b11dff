#ifndef TERRAVEL_WORKERTHREADS_H
#define TERRAVEL_WORKERTHREADS_H

// How many threads the work that runs on every core takes: TERRAVEL_THREADS when it names a
// number from 1 to 256, else one per core.
int workerThreads(void);

// Whether a TERRAVEL_THREADS value names a number of threads from 1 to 256.
bool threadSettingValid(const char * wanted);

#endif
