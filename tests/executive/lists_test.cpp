// LIST and RB_TREE: queue order, detaching, and a randomised check of
// the red-black tree against an ordered reference container.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "executive/lists.h"
#include "executive/types.h"

namespace {

int32_t CompareKeys(uint32_t a, uint32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

TEST(ListTest, QueueOrderAndDetach) {
    fw::LIST sList;
    fw::LIST_NODE asNode[5];
    fw::InitList(&sList);
    for (auto& s : asNode) fw::InitListNode(&s);

    EXPECT_EQ(fw::ListPopFront(&sList), nullptr);
    fw::ListPushBack(&sList, &asNode[1]);
    fw::ListPushBack(&sList, &asNode[2]);
    fw::ListPushFront(&sList, &asNode[0]);
    fw::ListPushBack(&sList, &asNode[3]);
    EXPECT_EQ(fw::dGetListCount(&sList), 4u);
    EXPECT_EQ(fw::ListPeekFront(&sList), &asNode[0]);

    // More than are on the list: nothing changes.
    EXPECT_EQ(fw::ListPopFrontN(&sList, 5), nullptr);
    EXPECT_EQ(fw::dGetListCount(&sList), 4u);

    fw::LIST_NODE* psChain = fw::ListPopFrontN(&sList, 2);
    ASSERT_EQ(psChain, &asNode[0]);
    EXPECT_EQ(psChain->psNext, &asNode[1]);
    EXPECT_EQ(asNode[1].psNext, nullptr);
    EXPECT_EQ(fw::dGetListCount(&sList), 2u);
    EXPECT_EQ(fw::ListPeekFront(&sList), &asNode[2]);

    // All that are left: the list is empty afterwards and takes new nodes.
    psChain = fw::ListPopFrontN(&sList, 2);
    ASSERT_EQ(psChain, &asNode[2]);
    EXPECT_EQ(asNode[3].psNext, nullptr);
    EXPECT_EQ(sList.psTail, nullptr);
    EXPECT_EQ(fw::dGetListCount(&sList), 0u);

    fw::ListPushFront(&sList, &asNode[4]);
    EXPECT_EQ(asNode[4].psNext, &asNode[4]);
    EXPECT_EQ(fw::ListPopFront(&sList), &asNode[4]);
    EXPECT_EQ(asNode[4].psNext, nullptr);
    EXPECT_EQ(sList.psTail, nullptr);
    EXPECT_EQ(fw::dGetListCount(&sList), 0u);
}

struct TreeNode {
    fw::RB_NODE sNode;
    int iTag;
};

TreeNode* Owner(fw::RB_NODE* ps) { return reinterpret_cast<TreeNode*>(ps); }

TEST(RbTreeTest, DuplicatesFindFirstInsertedAndKeepInsertionOrder) {
    fw::RB_TREE sTree;
    fw::InitRbTree(&sTree, 0, CompareKeys);
    sTree.fAllowDuplicates = 1;
    TreeNode asNode[3] = {{{}, 0}, {{}, 1}, {{}, 2}};
    fw::RbTreeInsert(&sTree, &asNode[0].sNode, 5);
    fw::RbTreeInsert(&sTree, &asNode[1].sNode, 3);
    fw::RbTreeInsert(&sTree, &asNode[2].sNode, 5);
    ASSERT_EQ(fw::fValidateRbTree(&sTree), 1u);

    EXPECT_EQ(fw::pRbTreeFind(&sTree, 5), &asNode[0].sNode);
    EXPECT_EQ(fw::pRbTreeCeiling(&sTree, 4), &asNode[0].sNode);
    EXPECT_EQ(fw::pRbTreeFloor(&sTree, 5), &asNode[2].sNode);
    EXPECT_EQ(fw::pRbTreeFloor(&sTree, 2), nullptr);
    EXPECT_EQ(fw::pRbTreeFind(&sTree, 4), nullptr);
    std::vector<int> order;
    for (fw::RB_NODE* ps = fw::pRbTreeFirst(&sTree); ps != nullptr; ps = fw::pRbTreeNext(&sTree, ps)) {
        order.push_back(Owner(ps)->iTag);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 0, 2}));

    // Removing the root of this three-node tree keeps it valid.
    fw::RbTreeRemove(&sTree, fw::pRbTreeRoot(&sTree));
    EXPECT_EQ(fw::fValidateRbTree(&sTree), 1u);
    EXPECT_EQ(sTree.dCount, 2u);
}

TEST(RbTreeTest, ValidationCatchesBrokenInvariants) {
    fw::RB_TREE sTree;
    fw::InitRbTree(&sTree, 0, CompareKeys);
    TreeNode asNode[7];
    for (uint32_t d = 0; d < 7; d++) fw::RbTreeInsert(&sTree, &asNode[d].sNode, d * 10);
    ASSERT_EQ(fw::fValidateRbTree(&sTree), 1u);

    struct Case {
        const char* pszWhat;
        void (*pfnBreak)(fw::RB_TREE*);
    };
    const Case cases[] = {
        {"red root", [](fw::RB_TREE* ps) { fw::pRbTreeRoot(ps)->dColour = fw::RB_RED; }},
        {"count off", [](fw::RB_TREE* ps) { ps->dCount++; }},
        {"keys out of order", [](fw::RB_TREE* ps) { fw::pRbTreeFirst(ps)->dKey = 1000; }},
        {"black height", [](fw::RB_TREE* ps) { fw::pRbTreeFirst(ps)->dColour ^= 1; }},
    };
    for (const Case& c : cases) {
        fw::RB_TREE sCopy = sTree;
        TreeNode asSaved[7];
        std::copy(std::begin(asNode), std::end(asNode), asSaved);
        c.pfnBreak(&sTree);
        EXPECT_EQ(fw::fValidateRbTree(&sTree), 0u) << c.pszWhat;
        sTree = sCopy;
        std::copy(std::begin(asSaved), std::end(asSaved), asNode);
        ASSERT_EQ(fw::fValidateRbTree(&sTree), 1u) << c.pszWhat;
    }
}

// Random inserts, removals, forEach-removal and merges, each followed by a full
// validation and a comparison of the in-order walk with a multimap.
TEST(RbTreeTest, RandomisedAgainstReference) {
    constexpr int kNodes = 600;
    for (uint32_t fDuplicates : {0u, 1u}) {
        std::mt19937 rng(1234 + fDuplicates);
        static TreeNode asNode[kNodes];
        fw::RB_TREE asTree[2];
        std::multimap<uint32_t, int> amReference[2];
        std::vector<int> aiWhere(kNodes, -1);  // tree of each node, -1 none
        for (auto& s : asTree) {
            fw::InitRbTree(&s, 0, CompareKeys);
            s.fAllowDuplicates = fDuplicates;
        }
        auto Check = [&](int iTree) {
            ASSERT_EQ(fw::fValidateRbTree(&asTree[iTree]), 1u);
            std::vector<uint32_t> keys;
            for (fw::RB_NODE* ps = fw::pRbTreeFirst(&asTree[iTree]); ps != nullptr;
                 ps = fw::pRbTreeNext(&asTree[iTree], ps)) {
                keys.push_back(ps->dKey);
            }
            std::vector<uint32_t> expected;
            for (auto& kv : amReference[iTree]) expected.push_back(kv.first);
            ASSERT_EQ(keys, expected);
        };
        for (int step = 0; step < 4000; step++) {
            const int iNode = static_cast<int>(rng() % kNodes);
            const int iTree = static_cast<int>(rng() % 2);
            const uint32_t dAction = rng() % 100;
            if (dAction < 2) {
                fw::RbTreeMerge(&asTree[0], &asTree[1]);
                for (auto& kv : amReference[1]) {
                    amReference[0].insert(kv);
                    aiWhere[kv.second] = 0;
                }
                amReference[1].clear();
                Check(0);
                Check(1);
                fw::RbTreeMerge(&asTree[0], &asTree[0]);
                Check(0);
                continue;
            }
            if (aiWhere[iNode] < 0) {
                uint32_t dKey = rng() % 500;
                // Without duplicates a key may be in a tree once.
                if (!fDuplicates && amReference[iTree].count(dKey) != 0) continue;
                if (!fDuplicates && amReference[1 - iTree].count(dKey) != 0) continue;
                fw::RbTreeInsert(&asTree[iTree], &asNode[iNode].sNode, dKey);
                amReference[iTree].insert({dKey, iNode});
                aiWhere[iNode] = iTree;
                Check(iTree);
            } else {
                const int iHome = aiWhere[iNode];
                const uint32_t dKey = asNode[iNode].sNode.dKey;
                ASSERT_EQ(fw::RbTreeRemove(&asTree[iHome], &asNode[iNode].sNode), &asNode[iNode].sNode);
                auto range = amReference[iHome].equal_range(dKey);
                for (auto it = range.first; it != range.second; ++it) {
                    if (it->second == iNode) {
                        amReference[iHome].erase(it);
                        break;
                    }
                }
                aiWhere[iNode] = -1;
                Check(iHome);
            }
        }
        // Remove everything from inside the walk.
        for (int iTree = 0; iTree < 2; iTree++) {
            fw::RbTreeForEach(&asTree[iTree], nullptr, [](fw::RB_TREE* ps, fw::RB_NODE* psNode, void*) -> uint32_t {
                fw::RbTreeRemove(ps, psNode);
                return fw::fValidateRbTree(ps);
            });
            EXPECT_EQ(asTree[iTree].dCount, 0u);
            EXPECT_EQ(fw::fValidateRbTree(&asTree[iTree]), 1u);
        }
    }
}

TEST(RbTreeTest, MergePutsSourceFirstOnEqualKeysAndEmptiesSource) {
    fw::RB_TREE sDst, sSrc;
    fw::InitRbTree(&sDst, 0, CompareKeys);
    fw::InitRbTree(&sSrc, 0, CompareKeys);
    sDst.fAllowDuplicates = 1;
    TreeNode asNode[6] = {{{}, 0}, {{}, 1}, {{}, 2}, {{}, 3}, {{}, 4}, {{}, 5}};
    const uint32_t adDstKeys[3] = {1, 5, 9};
    const uint32_t adSrcKeys[3] = {5, 7, 0};
    for (int i = 0; i < 3; i++) {
        fw::RbTreeInsert(&sDst, &asNode[i].sNode, adDstKeys[i]);
        fw::RbTreeInsert(&sSrc, &asNode[3 + i].sNode, adSrcKeys[i]);
    }
    fw::RbTreeMerge(&sDst, &sSrc);
    EXPECT_EQ(fw::fValidateRbTree(&sDst), 1u);
    EXPECT_EQ(sSrc.dCount, 0u);
    EXPECT_EQ(fw::pRbTreeFirst(&sSrc), nullptr);
    std::vector<int> order;
    for (fw::RB_NODE* ps = fw::pRbTreeFirst(&sDst); ps != nullptr; ps = fw::pRbTreeNext(&sDst, ps)) {
        order.push_back(Owner(ps)->iTag);
    }
    EXPECT_EQ(order, (std::vector<int>{5, 0, 3, 1, 4, 2}));
}

}  // namespace
