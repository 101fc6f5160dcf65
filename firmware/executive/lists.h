// Intrusive containers: LIST (circular singly linked queue), DLIST (circular
// doubly linked list with the header as sentinel) and RB_TREE (red-black tree
// ordered by a caller's comparator, the header doubling as the nil node).
// Nodes live inside their owners; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

// ---- LIST ------------------------------------------------------------------

struct LIST_NODE {
    LIST_NODE* psNext;  // null while the node is on no list
};

struct LIST {
    LIST_NODE* psTail;  // the tail's psNext is the head; null when empty
    uint32_t dCount;
};

void InitList(LIST* psList);
void InitListNode(LIST_NODE* psNode);
uint32_t dGetListCount(const LIST* psList);
void ListPushFront(LIST* psList, LIST_NODE* psNode);
void ListPushBack(LIST* psList, LIST_NODE* psNode);
LIST_NODE* ListPopFront(LIST* psList);
LIST_NODE* ListPopFrontN(LIST* psList, uint32_t dCount);
LIST_NODE* ListPeekFront(const LIST* psList);

// ---- DLIST -----------------------------------------------------------------

struct DLIST_NODE {
    DLIST_NODE* psNext;
    DLIST_NODE* psPrev;
};

// The header's first two words form the sentinel node of the ring.
struct DLIST {
    DLIST_NODE sHeader;  // psNext = first node (psFirst), psPrev = last (psLast)
    uint32_t dCount;
};

void InitDList(DLIST* psList);
uint32_t dGetDListCount(const DLIST* psList);
DLIST* DListPushBack(DLIST* psList, DLIST_NODE* psNode);
DLIST_NODE* DListRemove(DLIST* psList, DLIST_NODE* psNode);
DLIST_NODE* DListFirst(DLIST* psList);
DLIST_NODE* DListNext(DLIST* psList, DLIST_NODE* psNode);
uint8_t fDListContains(DLIST* psList, const DLIST_NODE* psNode);

// ---- RB_TREE ---------------------------------------------------------------

constexpr uint32_t RB_RED = 0;
constexpr uint32_t RB_BLACK = 1;

struct RB_NODE {
    RB_NODE* psLeft;
    RB_NODE* psRight;
    RB_NODE* psParent;
    uint32_t dColour;
    uint32_t dKey;
};

using RB_COMPARE = int32_t (*)(uint32_t dKeyA, uint32_t dKeyB);

// The header starts with the five words of a node and is the nil sentinel:
// every leaf link and the root's parent point at it; its left link (psRoot)
// is the root.
struct RB_TREE {
    RB_NODE sHeader;
    uint32_t dCount;
    uint32_t dContext;
    RB_COMPARE pfnCompare;
    uint32_t dReserved;
    uint32_t fAllowDuplicates;
};

// The 32-bit processor's layout (a 64-bit host's pointers widen it).
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(RB_NODE) == 20);
static_assert(offsetof(RB_TREE, dCount) == 20);
static_assert(offsetof(RB_TREE, fAllowDuplicates) == 36);
#endif

using RB_VISIT = uint32_t (*)(RB_TREE* psTree, RB_NODE* psNode, void* pArgument);

void InitRbTree(RB_TREE* psTree, uint32_t dContext, RB_COMPARE pfnCompare);
void ResetRbTree(RB_TREE* psTree);
inline RB_NODE* pRbTreeRoot(const RB_TREE* psTree) { return psTree->sHeader.psLeft; }
void RbTreeInsert(RB_TREE* psTree, RB_NODE* psNode, uint32_t dKey);
RB_NODE* RbTreeRemove(RB_TREE* psTree, RB_NODE* psNode);
RB_NODE* pRbTreeFind(RB_TREE* psTree, uint32_t dKey);
RB_NODE* pRbTreeCeiling(RB_TREE* psTree, uint32_t dKey);
RB_NODE* pRbTreeFloor(RB_TREE* psTree, uint32_t dKey);
RB_NODE* pRbTreeFirst(RB_TREE* psTree);
RB_NODE* pRbTreeNext(RB_TREE* psTree, RB_NODE* psNode);
uint32_t RbTreeForEach(RB_TREE* psTree, void* pArgument, RB_VISIT pfnVisit);
void RbTreeMerge(RB_TREE* psDestination, RB_TREE* psSource);
uint32_t fValidateRbTree(RB_TREE* psTree);

}  // namespace fw
