// The work of run modes 2 and 3: one chunk cut out of the model, reduced in run mode 2, saved
// beside the input and handed back as the scene to show.

#include "runmodes.h"

#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

std::string outputFileName(const char * inputFileName, const char * suffix)
{
  // Only the file's own name counts: a folder such as scenes.iv/ is part of where it lives.
  const char * slash = std::strrchr(inputFileName, '/');
  const char * name = slash == nullptr ? inputFileName : slash + 1;
  const char * found = std::strstr(name, ".iv");
  if (found == nullptr) return std::string(inputFileName) + suffix;
  return std::string(inputFileName, size_t(found - inputFileName)) + suffix;
}

namespace {

// The output separator, referenced once: the model's texture, then the chunk once it is made.
SoSeparator * startOutput(TerrainModel & model, const char * activity)
{
  SoSeparator * output = new SoSeparator;
  output->ref();
  model.addTexture(output);
  std::printf("%s", activity);
  std::fflush(stdout);
  return output;
}

// The output separator holds the chunk from here on (the cut's own reference goes) and is
// saved beside the input.
bool finishOutput(TerrainModel & model, SoSeparator * output, SoSeparator * chunk,
                  const char * inputFileName, const char * suffix)
{
  output->addChild(chunk);
  chunk->unref();
  return model.save(output, outputFileName(inputFileName, suffix).c_str(), inputFileName);
}

std::string folderOf(const std::string & path)
{
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> partsOf(const std::string & absolute)
{
  std::vector<std::string> parts;
  size_t at = 1;
  while (at < absolute.size()) {
    const size_t slash = absolute.find('/', at);
    const size_t end = slash == std::string::npos ? absolute.size() : slash;
    if (end > at) parts.push_back(absolute.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string realPath(const std::string & path)
{
  char * resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  const std::string result(resolved);
  std::free(resolved);
  return result;
}

} // namespace

SoSeparator * runReduceMode(TerrainModel & model, const char * inputFileName, int percent,
                            bool * saved)
{
  SbBSPTree borderPoints(64, 0);
  SoSeparator * output = startOutput(model, "Reducing model ...");
  float minX = 0.0f, minZ = 0.0f, maxX = 0.0f, maxZ = 0.0f;
  model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
  SoSeparator * chunk = model.cutRegion(model.getRoot(), minX, minZ, maxX, maxZ, &borderPoints);
  model.reduce(chunk, &borderPoints, percent);
  std::printf("Done\n");
  const bool written = finishOutput(model, output, chunk, inputFileName, ".reduced.iv");
  if (saved != nullptr) *saved = written;
  return output;
}

SoSeparator * runCutMode(TerrainModel & model, const char * inputFileName, float x1, float y1,
                         float x2, float y2, bool * saved)
{
  SbBSPTree borderPoints(64, 0);
  SoSeparator * output = startOutput(model, "Cutting model ...");
  SoSeparator * chunk = model.cutRegion(model.getRoot(), x1, y1, x2, y2, &borderPoints);
  std::printf("Done\n");
  const bool written = finishOutput(model, output, chunk, inputFileName, ".noRECT.iv");
  if (saved != nullptr) *saved = written;
  return output;
}

std::string relocatedName(const std::string & name, const char * fromFile, const char * toFile)
{
  if (name.empty() || name[0] == '/') return name;
  const std::string from = realPath(folderOf(fromFile));
  const std::string to = realPath(folderOf(toFile));
  if (!from.empty() && from == to) return name;
  const std::string picture = realPath(folderOf(fromFile) + "/" + name);
  if (picture.empty() || to.empty()) return name;
  const std::vector<std::string> target = partsOf(picture), base = partsOf(to);
  size_t common = 0;
  while (common < target.size() && common < base.size() && target[common] == base[common])
    ++common;
  std::string relative;
  for (size_t i = common; i < base.size(); ++i) relative += "../";
  for (size_t i = common; i < target.size(); ++i)
    relative += target[i] + (i + 1 < target.size() ? "/" : "");
  return relative;
}

bool saveTree(TerrainModel & model, SoSeparator * tree, const char * fileName,
              const char * inputFileName)
{
  // The root cell's first child is the model's texture, which the shown scene shares; the file
  // gets a copy that names the picture from the file's own folder. The copy is not told of its
  // name, so it does not go looking for the picture itself.
  SoTexture2 * texture = static_cast<SoTexture2 *>(tree->getChild(0));
  SoTexture2 * named = new SoTexture2;
  named->ref();
  named->filename.enableNotify(FALSE);
  named->filename.setValue(
    relocatedName(texture->filename.getValue().getString(), inputFileName, fileName).c_str());
  named->wrapS = texture->wrapS.getValue();
  named->wrapT = texture->wrapT.getValue();
  named->model = texture->model.getValue();
  named->blendColor = texture->blendColor.getValue();
  tree->replaceChild(0, named);
  const bool written = model.save(tree, fileName, inputFileName);
  tree->replaceChild(0, texture);
  named->unref();
  return written;
}
