# The History tab, included by ui/CMakeLists.txt.
target_sources(quorvel_ui PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/historyaccess.cpp ${CMAKE_CURRENT_LIST_DIR}/historyaccess.h
  ${CMAKE_CURRENT_LIST_DIR}/historychart.cpp ${CMAKE_CURRENT_LIST_DIR}/historychart.h
  ${CMAKE_CURRENT_LIST_DIR}/historyexport.cpp ${CMAKE_CURRENT_LIST_DIR}/historyexport.h
  ${CMAKE_CURRENT_LIST_DIR}/historyemptystate.cpp ${CMAKE_CURRENT_LIST_DIR}/historyemptystate.h
  ${CMAKE_CURRENT_LIST_DIR}/historyicons.cpp ${CMAKE_CURRENT_LIST_DIR}/historyicons.h
  ${CMAKE_CURRENT_LIST_DIR}/historymodel.cpp ${CMAKE_CURRENT_LIST_DIR}/historymodel.h
  ${CMAKE_CURRENT_LIST_DIR}/historyrowdelegate.cpp ${CMAKE_CURRENT_LIST_DIR}/historyrowdelegate.h
  ${CMAKE_CURRENT_LIST_DIR}/historyview.cpp ${CMAKE_CURRENT_LIST_DIR}/historyview.h
)
target_link_libraries(quorvel_ui PUBLIC Qt6::Charts)
