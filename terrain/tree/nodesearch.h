#ifndef TERRAVEL_NODESEARCH_H
#define TERRAVEL_NODESEARCH_H

#include <Inventor/SoFullPath.h>
#include <Inventor/actions/SoSearchAction.h>

// The first node of the type (or a derived one) below node in depth-first order, searching
// every child, even those a switch would not traverse; null when there is none.
inline SoNode * findFirst(SoSearchAction & search, SoNode * node, SoType type)
{
  search.reset();
  search.setType(type, TRUE);
  search.setInterest(SoSearchAction::FIRST);
  search.setSearchingAll(TRUE);
  search.apply(node);
  SoPath * path = search.getPath();
  // The full path: its tail is the node found even below a node kit's hidden children.
  return path == nullptr ? nullptr : static_cast<SoFullPath *>(path)->getTail();
}

#endif
