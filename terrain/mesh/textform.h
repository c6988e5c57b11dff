#ifndef TERRAVEL_TEXTFORM_H
#define TERRAVEL_TEXTFORM_H

// The value a float has after the toolkit's text form writes it (eight significant digits) and
// reads it back; such a value comes back unchanged from any number of saves, so positions made
// so read back exactly from a saved scene.
float asWritten(float value);

#endif
