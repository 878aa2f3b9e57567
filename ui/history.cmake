# The History tab, included by ui/CMakeLists.txt.
target_sources(quorvel_ui PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/historyview.cpp ${CMAKE_CURRENT_LIST_DIR}/historyview.h
)
target_link_libraries(quorvel_ui PUBLIC Qt6::Charts)
