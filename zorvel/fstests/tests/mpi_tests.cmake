# The MPI programs run by mpirun on one host, on tmpfs and on the simulated
# file system, against file systems made to misbehave (preloads of the
# tests' own), and across simulated client hosts (scripts/cluster; skipped
# with the reason where network namespaces cannot be made).
add_library(boundary_fault SHARED ${CMAKE_CURRENT_SOURCE_DIR}/boundary_fault.c)
target_link_libraries(boundary_fault PRIVATE ${CMAKE_DL_LIBS})
add_library(mpi_alone SHARED ${CMAKE_CURRENT_SOURCE_DIR}/mpi_alone.c)
target_link_libraries(mpi_alone PRIVATE MPI::MPI_C)
add_library(nomem SHARED ${CMAKE_CURRENT_SOURCE_DIR}/nomem.c)

set(mpi_defs
  MPITEST_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
  MPIEXEC="${MPIEXEC_EXECUTABLE}"
  MPITEST_LSAN_SUPPRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp"
  CLUSTER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/cluster")
if(ZV_SANITIZE)
  list(APPEND mpi_defs MPITEST_SANITIZED=1)
endif()

zv_gtest(mpi_programs_tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/mpi_fixture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/chunkwrite_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/mpicreate_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/spreadalloc_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/cluster_test.cpp
  PROGRAMS ZVSIM_BIN=zvsim_launcher ZORVEL_BIN=zorvel
    BOUNDARY_FAULT_LIB=boundary_fault
    MPI_ALONE_LIB=mpi_alone NOMEM_LIB=nomem CHUNKWRITE_DEP=chunkwrite
    MPICREATE_DEP=mpicreate SPREADALLOC_DEP=spreadalloc
  DEFINITIONS ${mpi_defs})
# GCC 12 with the sanitizers reports an uninitialised member inside
# <regex>'s own automaton (a false report in the library's header).
if(ZV_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(mpi_programs_tests PRIVATE -Wno-maybe-uninitialized)
endif()
