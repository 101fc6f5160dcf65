# A small firmware that breaks each rule of the layering test once: the
# bottom library includes the top one, a peer uses a peer it does not name,
# another names a peer it never uses, and the board model includes a
# firmware header outside hw/.
set(FW_LAYER_NAMES "bottom" "middle" "top")
set(FW_LIBRARIES hw mid_a mid_b mid_c top)
set(FW_hw_LAYER 0)
set(FW_hw_FILES hw/registers.h)
set(FW_hw_PEERS)
set(FW_mid_a_LAYER 1)
set(FW_mid_a_FILES mid_a/service_a.h mid_a/service_a.cpp)
set(FW_mid_a_PEERS)
set(FW_mid_b_LAYER 1)
set(FW_mid_b_FILES mid_b/service_b.h)
set(FW_mid_b_PEERS mid_a mid_c)
set(FW_mid_c_LAYER 1)
set(FW_mid_c_FILES mid_c/service_c.h)
set(FW_mid_c_PEERS)
set(FW_top_LAYER 2)
set(FW_top_FILES top/startup.h)
set(FW_top_PEERS)
