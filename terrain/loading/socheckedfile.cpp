#include "socheckedfile.h"

#include <Inventor/SbString.h>
#include <Inventor/SoInput.h>
#include <Inventor/lists/SbStringList.h>

#include <sys/stat.h>

SO_NODE_SOURCE(SoCheckedFile);

namespace {

bool refused = false;

// An existing path that is not a regular file (a device, a FIFO, a socket, a directory).
bool existsButIsNotRegular(const SbString & path)
{
  struct stat info;
  return stat(path.getString(), &info) == 0 && !S_ISREG(info.st_mode);
}

} // namespace

void SoCheckedFile::initClass(void)
{
  SO_NODE_INIT_CLASS(SoCheckedFile, SoFile, "File");
  SoType::overrideType(SoFile::getClassTypeId(), SoCheckedFile::createInstance);
}

SoCheckedFile::SoCheckedFile(void)
{
  SO_NODE_CONSTRUCTOR(SoCheckedFile);
}

SoCheckedFile::~SoCheckedFile()
{
}

bool SoCheckedFile::refusedAName(void)
{
  return refused;
}

void SoCheckedFile::resetRefusals(void)
{
  refused = false;
}

SbBool SoCheckedFile::readNamedFile(SoInput * in)
{
  // Every place the toolkit might look for the name is checked, so whichever it picks is a
  // regular file or nothing at all.
  const SbString name = this->name.getValue();
  bool bad = name.getLength() > 0 && name[0] == '/' && existsButIsNotRegular(name);
  if (name.getLength() > 0 && name[0] != '/') {
    const SbStringList & directories = SoInput::getDirectories();
    for (int i = 0; i < directories.getLength() && !bad; ++i) {
      SbString candidate = *directories[i];
      if (candidate.getLength() > 0 && candidate[candidate.getLength() - 1] != '/') candidate += "/";
      candidate += name;
      bad = existsButIsNotRegular(candidate);
    }
    bad = bad || existsButIsNotRegular(name);
  }
  if (bad) {
    refused = true;
    return FALSE;
  }
  return inherited::readNamedFile(in);
}
