# The MPI programs: parallel write-and-verify, creation rate and spread
# allocation. They use plain POSIX calls and the MPI library's C interface,
# nothing of the client library.
find_package(MPI REQUIRED COMPONENTS C)

foreach(prog chunkwrite mpicreate spreadalloc)
  add_executable(${prog} ${CMAKE_CURRENT_SOURCE_DIR}/${prog}.cpp)
  target_link_libraries(${prog} PRIVATE MPI::MPI_C)
  # The C interface only: no C++ bindings from the MPI header.
  target_compile_definitions(${prog} PRIVATE OMPI_SKIP_MPICXX=1
    MPICH_SKIP_MPICXX=1)
endforeach()
