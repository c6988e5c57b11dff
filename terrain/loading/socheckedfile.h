#ifndef TERRAVEL_SOCHECKEDFILE_H
#define TERRAVEL_SOCHECKEDFILE_H

#include <Inventor/nodes/SoFile.h>
#include <Inventor/nodes/SoSubNode.h>

// A File node that reads only regular files. The toolkit reads whatever a File node names,
// and a scene that names /dev/zero, a FIFO or a terminal would read forever or block; this
// node refuses such a name and remembers that it did, so the load can fail.
//
// SoCheckedFile::initClass() registers it and makes the reader create it wherever a file says
// File { ... }; nothing else changes, so the file format is the toolkit's own:
//
//   File { name "tile_03.iv" }
class SoCheckedFile : public SoFile {
  typedef SoFile inherited;
  SO_NODE_HEADER(SoCheckedFile);

public:
  static void initClass(void);
  SoCheckedFile(void);

  // True once a File node named something other than a regular file since the last reset.
  static bool refusedAName(void);
  static void resetRefusals(void);

protected:
  virtual ~SoCheckedFile();
  virtual SbBool readNamedFile(SoInput * in);
};

#endif
