# The fuzz targets: fuzz/<name>.cpp defines LLVMFuzzerTestOneInput, its seed
# corpus is fuzz/corpus/<name>/, ZV_FUZZ_LIBS_<name> names the libraries
# it drives and ZV_FUZZ_SUPPORT_<name> the test support it links. Read by fuzz/CMakeLists.txt (libFuzzer builds) and by
# tests/CMakeLists.txt (corpus replay in every test build).
set(ZV_FUZZ_TARGETS fid_parse_fuzz chlg_recv_fuzz kuc_msg_fuzz expr_list_fuzz
  abs_path_fuzz ioctl_unpack_fuzz
  udsp_demarshal_fuzz nid_parse_fuzz cyaml_build_fuzz
  json_write_fuzz kernel_reply_fuzz layout_records_fuzz)

set(ZV_FUZZ_LIBS_fid_parse_fuzz zorvelapi)
set(ZV_FUZZ_LIBS_chlg_recv_fuzz zorvelapi)
set(ZV_FUZZ_LIBS_kuc_msg_fuzz zorvelapi)
set(ZV_FUZZ_LIBS_expr_list_fuzz kfxutil)
set(ZV_FUZZ_LIBS_abs_path_fuzz kfxutil)
set(ZV_FUZZ_LIBS_ioctl_unpack_fuzz kfxutil)
set(ZV_FUZZ_LIBS_udsp_demarshal_fuzz varnconfig)
set(ZV_FUZZ_LIBS_nid_parse_fuzz kfxutil)
set(ZV_FUZZ_LIBS_cyaml_build_fuzz varnconfig)
set(ZV_FUZZ_LIBS_json_write_fuzz zorvelapi)
set(ZV_FUZZ_LIBS_kernel_reply_fuzz zorvelapi)
set(ZV_FUZZ_LIBS_layout_records_fuzz zorvelapi)
# Test support a target links as it stands (not instrumented).
set(ZV_FUZZ_SUPPORT_chlg_recv_fuzz zvopen_stand_in)
# Folders of the project's headers a target includes beyond its libraries'.
set(ZV_FUZZ_INCLUDES_layout_records_fuzz zorvel/fstests)
