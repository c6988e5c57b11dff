#ifndef TERRAVEL_CONSOLE_H
#define TERRAVEL_CONSOLE_H

// Blanks the terminal and homes the cursor; prints nothing when standard output is not a
// terminal, so redirected output starts with the banner.
void clearConsole(void);

// Three lines of exactly 80 characters and no line break: on an 80-column console each fills
// one row and the next message starts at the beginning of the fourth.
void printBanner(void);

#endif
