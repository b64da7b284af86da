# zv_proto_library(<target> <schema files relative to proto/>...)
# Generates message and gRPC stub code for each schema into the build tree and
# builds it into one static, position-independent library.
function(zv_proto_library target)
  set(proto_root ${CMAKE_CURRENT_SOURCE_DIR}/proto)
  set(out_root ${CMAKE_CURRENT_BINARY_DIR}/gen)
  get_target_property(grpc_plugin gRPC::grpc_cpp_plugin LOCATION)
  set(sources)
  foreach(rel ${ARGN})
    get_filename_component(dir ${rel} DIRECTORY)
    get_filename_component(stem ${rel} NAME_WE)
    set(base ${out_root}/${dir}/${stem})
    set(outs ${base}.pb.cc ${base}.pb.h ${base}.grpc.pb.cc ${base}.grpc.pb.h)
    add_custom_command(
      OUTPUT ${outs}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${out_root}
      COMMAND protobuf::protoc
        --proto_path=${proto_root}
        --cpp_out=${out_root}
        --grpc_out=${out_root}
        --plugin=protoc-gen-grpc=${grpc_plugin}
        ${proto_root}/${rel}
      DEPENDS ${proto_root}/${rel} protobuf::protoc
      COMMENT "Generating code for ${rel}"
      VERBATIM)
    list(APPEND sources ${base}.pb.cc ${base}.grpc.pb.cc)
  endforeach()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${out_root})
  target_link_libraries(${target} PUBLIC gRPC::grpc++ protobuf::libprotobuf)
endfunction()
