#ifndef TERRAVEL_STANDARDSTREAMS_H
#define TERRAVEL_STANDARDSTREAMS_H

// Gives each of descriptors 0, 1 and 2 that is closed a connection to /dev/null. A program
// started with standard output closed (`prog >&-`) would otherwise hand that number to the
// next file or socket it opens, and every later printf would write into it.
void openMissingStandardStreams(void);

#endif
