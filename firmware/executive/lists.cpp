// Intrusive LIST, DLIST and RB_TREE containers.
#include "executive/lists.h"

#include "executive/types.h"

namespace fw {

// ---- LIST ------------------------------------------------------------------

void InitList(LIST* psList) {
    psList->psTail = nullptr;
    psList->dCount = 0;
}

void InitListNode(LIST_NODE* psNode) { psNode->psNext = nullptr; }

uint32_t dGetListCount(const LIST* psList) { return psList->dCount; }

void ListPushFront(LIST* psList, LIST_NODE* psNode) {
    if (psList->psTail == nullptr) {
        psNode->psNext = psNode;
        psList->psTail = psNode;
    } else {
        psNode->psNext = psList->psTail->psNext;
        psList->psTail->psNext = psNode;
    }
    psList->dCount++;
}

void ListPushBack(LIST* psList, LIST_NODE* psNode) {
    ListPushFront(psList, psNode);
    psList->psTail = psNode;  // the new head is the new tail of the ring
}

LIST_NODE* ListPopFront(LIST* psList) {
    LIST_NODE* psTail = psList->psTail;
    if (psTail == nullptr) return nullptr;
    LIST_NODE* psHead = psTail->psNext;
    if (psHead == psTail) {
        psList->psTail = nullptr;
    } else {
        psTail->psNext = psHead->psNext;
    }
    psHead->psNext = nullptr;
    psList->dCount--;
    return psHead;
}

LIST_NODE* ListPopFrontN(LIST* psList, uint32_t dCount) {
    if (dCount == 0 || dCount > psList->dCount) return nullptr;
    LIST_NODE* psTail = psList->psTail;
    LIST_NODE* psFirst = psTail->psNext;
    LIST_NODE* psLast = psTail;
    if (dCount < psList->dCount) {
        psLast = psFirst;
        for (uint32_t d = 1; d < dCount; d++) psLast = psLast->psNext;
        psTail->psNext = psLast->psNext;
    } else {
        psList->psTail = nullptr;
    }
    psLast->psNext = nullptr;
    psList->dCount -= dCount;
    return psFirst;
}

LIST_NODE* ListPeekFront(const LIST* psList) {
    return psList->psTail == nullptr ? nullptr : psList->psTail->psNext;
}

// ---- DLIST -----------------------------------------------------------------

void InitDList(DLIST* psList) {
    psList->sHeader.psNext = &psList->sHeader;
    psList->sHeader.psPrev = &psList->sHeader;
    psList->dCount = 0;
}

uint32_t dGetDListCount(const DLIST* psList) { return psList->dCount; }

DLIST* DListPushBack(DLIST* psList, DLIST_NODE* psNode) {
    DLIST_NODE* psLast = psList->sHeader.psPrev;
    psNode->psNext = &psList->sHeader;
    psNode->psPrev = psLast;
    psLast->psNext = psNode;
    psList->sHeader.psPrev = psNode;
    psList->dCount++;
    return psList;
}

DLIST_NODE* DListRemove(DLIST* psList, DLIST_NODE* psNode) {
    if (psList->dCount == 0 || psNode == &psList->sHeader) return nullptr;
    psNode->psPrev->psNext = psNode->psNext;
    psNode->psNext->psPrev = psNode->psPrev;
    psNode->psNext = nullptr;
    psNode->psPrev = nullptr;
    psList->dCount--;
    return psNode;
}

DLIST_NODE* DListFirst(DLIST* psList) {
    DLIST_NODE* psFirst = psList->sHeader.psNext;
    return psFirst == &psList->sHeader ? nullptr : psFirst;
}

DLIST_NODE* DListNext(DLIST* psList, DLIST_NODE* psNode) {
    DLIST_NODE* psNext = psNode->psNext;
    return psNext == &psList->sHeader ? nullptr : psNext;
}

uint8_t fDListContains(DLIST* psList, const DLIST_NODE* psNode) {
    for (DLIST_NODE* ps = DListFirst(psList); ps != nullptr; ps = DListNext(psList, ps)) {
        if (ps == psNode) return TRUE;
    }
    return FALSE;
}

// ---- RB_TREE ---------------------------------------------------------------

namespace {

RB_NODE* Nil(RB_TREE* psTree) { return &psTree->sHeader; }

int32_t Compare(const RB_TREE* psTree, uint32_t dKeyA, uint32_t dKeyB) {
    return psTree->pfnCompare(dKeyA, dKeyB);
}

void EmptyHeader(RB_TREE* psTree) {
    RB_NODE* psNil = Nil(psTree);
    psNil->psLeft = psNil;
    psNil->psRight = psNil;
    psNil->psParent = psNil;
    psNil->dColour = RB_BLACK;
    psTree->dCount = 0;
}

RB_NODE* Leftmost(RB_TREE* psTree, RB_NODE* ps) {
    RB_NODE* psNil = Nil(psTree);
    while (ps->psLeft != psNil) ps = ps->psLeft;
    return ps;
}

// The parent link of the nil sentinel doubles as the root's parent; keep the
// root slot (the sentinel's left link) up to date when it is the parent.
void ReplaceChild(RB_TREE* psTree, RB_NODE* psParent, RB_NODE* psOld, RB_NODE* psNew) {
    if (psParent == Nil(psTree)) {
        psTree->sHeader.psLeft = psNew;
    } else if (psParent->psLeft == psOld) {
        psParent->psLeft = psNew;
    } else {
        psParent->psRight = psNew;
    }
}

RB_NODE*& Child(RB_NODE* ps, bool fLeft) { return fLeft ? ps->psLeft : ps->psRight; }

// Rotates left (fLeft) or right about psX: the child on the other side
// takes psX's place and psX becomes its child on this side.
void Rotate(RB_TREE* psTree, RB_NODE* psX, bool fLeft) {
    RB_NODE* psNil = Nil(psTree);
    RB_NODE* psY = Child(psX, !fLeft);
    Child(psX, !fLeft) = Child(psY, fLeft);
    if (Child(psY, fLeft) != psNil) Child(psY, fLeft)->psParent = psX;
    psY->psParent = psX->psParent;
    ReplaceChild(psTree, psX->psParent, psX, psY);
    Child(psY, fLeft) = psX;
    psX->psParent = psY;
}

void InsertFixup(RB_TREE* psTree, RB_NODE* psZ) {
    while (psZ->psParent->dColour == RB_RED) {
        RB_NODE* psParent = psZ->psParent;
        RB_NODE* psGrand = psParent->psParent;
        const bool fLeft = psParent == psGrand->psLeft;
        RB_NODE* psUncle = Child(psGrand, !fLeft);
        if (psUncle->dColour == RB_RED) {
            psParent->dColour = RB_BLACK;
            psUncle->dColour = RB_BLACK;
            psGrand->dColour = RB_RED;
            psZ = psGrand;
            continue;
        }
        if (psZ == Child(psParent, !fLeft)) {
            psZ = psParent;
            Rotate(psTree, psZ, fLeft);
            psParent = psZ->psParent;
        }
        psParent->dColour = RB_BLACK;
        psGrand->dColour = RB_RED;
        Rotate(psTree, psGrand, !fLeft);
    }
    pRbTreeRoot(psTree)->dColour = RB_BLACK;
}

void Transplant(RB_TREE* psTree, RB_NODE* psU, RB_NODE* psV) {
    ReplaceChild(psTree, psU->psParent, psU, psV);
    psV->psParent = psU->psParent;  // may write the sentinel's parent link
}

void RemoveFixup(RB_TREE* psTree, RB_NODE* psX) {
    while (psX != pRbTreeRoot(psTree) && psX->dColour == RB_BLACK) {
        RB_NODE* psParent = psX->psParent;
        const bool fLeft = psX == psParent->psLeft;
        RB_NODE* psW = Child(psParent, !fLeft);
        if (psW->dColour == RB_RED) {
            psW->dColour = RB_BLACK;
            psParent->dColour = RB_RED;
            Rotate(psTree, psParent, fLeft);
            psW = Child(psParent, !fLeft);
        }
        RB_NODE* psNear = Child(psW, fLeft);
        RB_NODE* psFar = Child(psW, !fLeft);
        if (psNear->dColour == RB_BLACK && psFar->dColour == RB_BLACK) {
            psW->dColour = RB_RED;
            psX = psParent;
            continue;
        }
        if (psFar->dColour == RB_BLACK) {
            psNear->dColour = RB_BLACK;
            psW->dColour = RB_RED;
            Rotate(psTree, psW, !fLeft);
            psW = Child(psParent, !fLeft);
            psFar = Child(psW, !fLeft);
        }
        psW->dColour = psParent->dColour;
        psParent->dColour = RB_BLACK;
        psFar->dColour = RB_BLACK;
        Rotate(psTree, psParent, fLeft);
        psX = pRbTreeRoot(psTree);
    }
    psX->dColour = RB_BLACK;
}

// Builds a size-balanced subtree of dCount nodes from the sorted chain (linked
// through psLeft).  Sibling subtrees differ by at most one node, so every leaf
// lies on the last two levels; nodes on the incomplete bottom level are red.
RB_NODE* BuildBalanced(RB_TREE* psTree, RB_NODE** ppsChain, uint32_t dCount, uint32_t dDepth,
                       uint32_t dFullLevels) {
    RB_NODE* psNil = Nil(psTree);
    if (dCount == 0) return psNil;
    uint32_t dLeftCount = (dCount - 1) / 2;
    RB_NODE* psLeft = BuildBalanced(psTree, ppsChain, dLeftCount, dDepth + 1, dFullLevels);
    RB_NODE* psNode = *ppsChain;
    *ppsChain = psNode->psLeft;
    RB_NODE* psRight = BuildBalanced(psTree, ppsChain, dCount - 1 - dLeftCount, dDepth + 1, dFullLevels);
    psNode->psLeft = psLeft;
    psNode->psRight = psRight;
    if (psLeft != psNil) psLeft->psParent = psNode;
    if (psRight != psNil) psRight->psParent = psNode;
    psNode->dColour = dDepth < dFullLevels ? RB_BLACK : RB_RED;
    return psNode;
}

// Turns the tree into a chain in key order, linked through psLeft (the
// successor walk never reads the left link of a node it has passed).
RB_NODE* TreeToChain(RB_TREE* psTree, RB_NODE** ppsLast) {
    RB_NODE* psFirst = pRbTreeFirst(psTree);
    RB_NODE* psPrev = nullptr;
    for (RB_NODE* ps = psFirst; ps != nullptr;) {
        RB_NODE* psNext = pRbTreeNext(psTree, ps);
        if (psPrev != nullptr) psPrev->psLeft = ps;
        psPrev = ps;
        ps = psNext;
    }
    if (psPrev != nullptr) psPrev->psLeft = nullptr;
    *ppsLast = psPrev;
    return psFirst;
}

}  // namespace

void InitRbTree(RB_TREE* psTree, uint32_t dContext, RB_COMPARE pfnCompare) {
    EmptyHeader(psTree);
    psTree->sHeader.dKey = 0;
    psTree->dContext = dContext;
    psTree->pfnCompare = pfnCompare;
    psTree->dReserved = 0;
    psTree->fAllowDuplicates = 0;
}

void ResetRbTree(RB_TREE* psTree) { EmptyHeader(psTree); }

void RbTreeInsert(RB_TREE* psTree, RB_NODE* psNode, uint32_t dKey) {
    RB_NODE* psNil = Nil(psTree);
    psNode->dKey = dKey;
    RB_NODE* psParent = psNil;
    RB_NODE* ps = pRbTreeRoot(psTree);
    bool fLeft = false;
    while (ps != psNil) {
        psParent = ps;
        fLeft = Compare(psTree, dKey, ps->dKey) < 0;  // equal keys go right
        ps = fLeft ? ps->psLeft : ps->psRight;
    }
    psNode->psParent = psParent;
    psNode->psLeft = psNil;
    psNode->psRight = psNil;
    psNode->dColour = RB_RED;
    if (psParent == psNil) {
        psTree->sHeader.psLeft = psNode;
    } else if (fLeft) {
        psParent->psLeft = psNode;
    } else {
        psParent->psRight = psNode;
    }
    psTree->dCount++;
    InsertFixup(psTree, psNode);
}

RB_NODE* RbTreeRemove(RB_TREE* psTree, RB_NODE* psZ) {
    RB_NODE* psNil = Nil(psTree);
    RB_NODE* psY = psZ;
    uint32_t dRemovedColour = psY->dColour;
    RB_NODE* psX;
    if (psZ->psLeft == psNil) {
        psX = psZ->psRight;
        Transplant(psTree, psZ, psX);
    } else if (psZ->psRight == psNil) {
        psX = psZ->psLeft;
        Transplant(psTree, psZ, psX);
    } else {
        // Two children: the successor takes the node's place and colour.
        psY = Leftmost(psTree, psZ->psRight);
        dRemovedColour = psY->dColour;
        psX = psY->psRight;
        if (psY->psParent == psZ) {
            psX->psParent = psY;
        } else {
            Transplant(psTree, psY, psX);
            psY->psRight = psZ->psRight;
            psY->psRight->psParent = psY;
        }
        Transplant(psTree, psZ, psY);
        psY->psLeft = psZ->psLeft;
        psY->psLeft->psParent = psY;
        psY->dColour = psZ->dColour;
    }
    if (dRemovedColour == RB_BLACK) RemoveFixup(psTree, psX);
    // The fix-up may have parked a link on the sentinel; restore its shape.
    psNil->psParent = psNil;
    psNil->psRight = psNil;
    psNil->dColour = RB_BLACK;
    psZ->psLeft = nullptr;
    psZ->psRight = nullptr;
    psZ->psParent = nullptr;
    psTree->dCount--;
    return psZ;
}

namespace {

// The last node on the search path that lies on the wanted side of the key:
// the first of equal keys towards the ceiling, the last towards the floor.
RB_NODE* pBound(RB_TREE* psTree, uint32_t dKey, bool fCeiling) {
    RB_NODE* psNil = Nil(psTree);
    RB_NODE* psBest = nullptr;
    for (RB_NODE* ps = pRbTreeRoot(psTree); ps != psNil;) {
        const int32_t dOrder = Compare(psTree, dKey, ps->dKey);
        const bool fSide = fCeiling ? dOrder <= 0 : dOrder >= 0;
        if (fSide) psBest = ps;
        ps = Child(ps, fSide == fCeiling);
    }
    return psBest;
}

}  // namespace

RB_NODE* pRbTreeCeiling(RB_TREE* psTree, uint32_t dKey) { return pBound(psTree, dKey, true); }

RB_NODE* pRbTreeFloor(RB_TREE* psTree, uint32_t dKey) { return pBound(psTree, dKey, false); }

RB_NODE* pRbTreeFind(RB_TREE* psTree, uint32_t dKey) {
    RB_NODE* ps = pRbTreeCeiling(psTree, dKey);
    return (ps != nullptr && Compare(psTree, dKey, ps->dKey) == 0) ? ps : nullptr;
}

RB_NODE* pRbTreeFirst(RB_TREE* psTree) {
    RB_NODE* psRoot = pRbTreeRoot(psTree);
    return psRoot == Nil(psTree) ? nullptr : Leftmost(psTree, psRoot);
}

RB_NODE* pRbTreeNext(RB_TREE* psTree, RB_NODE* psNode) {
    RB_NODE* psNil = Nil(psTree);
    if (psNode->psRight != psNil) return Leftmost(psTree, psNode->psRight);
    RB_NODE* psParent = psNode->psParent;
    while (psParent != psNil && psNode == psParent->psRight) {
        psNode = psParent;
        psParent = psParent->psParent;
    }
    return psParent == psNil ? nullptr : psParent;
}

uint32_t RbTreeForEach(RB_TREE* psTree, void* pArgument, RB_VISIT pfnVisit) {
    uint32_t dResult = 0;
    RB_NODE* ps = pRbTreeFirst(psTree);
    while (ps != nullptr) {
        RB_NODE* psNext = pRbTreeNext(psTree, ps);  // the visit may remove ps
        dResult = pfnVisit(psTree, ps, pArgument);
        ps = psNext;
    }
    return dResult;
}

void RbTreeMerge(RB_TREE* psDestination, RB_TREE* psSource) {
    if (psDestination == psSource) return;
    uint32_t dTotal = psDestination->dCount + psSource->dCount;
    RB_NODE* psLastDst;
    RB_NODE* psLastSrc;
    RB_NODE* psDst = TreeToChain(psDestination, &psLastDst);
    RB_NODE* psSrc = TreeToChain(psSource, &psLastSrc);
    ResetRbTree(psSource);
    ResetRbTree(psDestination);

    // One sorted chain; on equal keys the source node comes first.
    RB_NODE* psChain = nullptr;
    RB_NODE** ppsTail = &psChain;
    while (psDst != nullptr && psSrc != nullptr) {
        RB_NODE** pps = Compare(psDestination, psDst->dKey, psSrc->dKey) < 0 ? &psDst : &psSrc;
        *ppsTail = *pps;
        ppsTail = &(*pps)->psLeft;
        *pps = (*pps)->psLeft;
    }
    *ppsTail = psDst != nullptr ? psDst : psSrc;

    uint32_t dFullLevels = 0;  // complete levels of a tree of dTotal nodes
    while (dFullLevels < 32 && ((1ull << (dFullLevels + 1)) - 1) <= dTotal) dFullLevels++;
    RB_NODE* psRoot = BuildBalanced(psDestination, &psChain, dTotal, 0, dFullLevels);
    psDestination->sHeader.psLeft = psRoot;
    psRoot->psParent = Nil(psDestination);
    psDestination->dCount = dTotal;
}

uint32_t fValidateRbTree(RB_TREE* psTree) {
    RB_NODE* psNil = Nil(psTree);
    RB_NODE* psRoot = pRbTreeRoot(psTree);
    if (psNil->dColour != RB_BLACK || psNil->psRight != psNil || psNil->psParent != psNil) return 0;
    if (psRoot == psNil) return psTree->dCount == 0 ? 1 : 0;
    if (psRoot->dColour != RB_BLACK || psRoot->psParent != psNil) return 0;

    // Walk in order, bounded by the count so that a corrupt tree cannot loop.
    int32_t dBlackHeight = -1;
    uint32_t dSeen = 0;
    RB_NODE* psPrev = nullptr;
    for (RB_NODE* ps = Leftmost(psTree, psRoot); ps != nullptr; ps = pRbTreeNext(psTree, ps)) {
        if (++dSeen > psTree->dCount) return 0;
        if (ps->dColour != RB_RED && ps->dColour != RB_BLACK) return 0;
        if (ps->psLeft != psNil && ps->psLeft->psParent != ps) return 0;
        if (ps->psRight != psNil && ps->psRight->psParent != ps) return 0;
        if (ps->dColour == RB_RED &&
            (ps->psLeft->dColour == RB_RED || ps->psRight->dColour == RB_RED)) {
            return 0;
        }
        if (psPrev != nullptr) {
            int32_t dOrder = Compare(psTree, psPrev->dKey, ps->dKey);
            if (dOrder > 0 || (dOrder == 0 && psTree->fAllowDuplicates == 0)) return 0;
        }
        if (ps->psLeft == psNil || ps->psRight == psNil) {
            int32_t dBlack = 0;
            uint32_t dDepth = 0;
            for (RB_NODE* psUp = ps; psUp != psNil; psUp = psUp->psParent) {
                if (++dDepth > psTree->dCount) return 0;
                if (psUp->dColour == RB_BLACK) dBlack++;
            }
            if (dBlackHeight < 0) dBlackHeight = dBlack;
            if (dBlack != dBlackHeight) return 0;
        }
        psPrev = ps;
    }
    return dSeen == psTree->dCount ? 1 : 0;
}

}  // namespace fw
