#ifndef ZVA_RPC_TENSOR_CODEC_H_
#define ZVA_RPC_TENSOR_CODEC_H_

// The Infer and LoadModel requests of both adapters, written straight from
// the caller's tensors into an EncodedRequest, and the outputs of an Infer
// answer, read straight from the received slices into the caller's buffers.
//
// The requests are byte for byte what protobuf writes for the messages that
// wire_transform.h and the adapters would build from the same arguments
// (tensors in the map's iteration order). The answer is read as protobuf
// parses it, but what the schema never produces is refused: a field of
// another wire type than the schema's, a singular field twice, a group.
//
// Failures are thrown as the int kTensorFormatError (21), as in
// wire_transform.h. Everything here may be called from any thread.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <grpcpp/support/byte_buffer.h>

#include "rpc/encoded_request.h"
#include "rpc/wire_format.h"
#include "zva/zva_mxnet.h"

namespace zva {
namespace wire {

// The bodies below replace the body of *out. Tensor bytes of a lending
// request point at the caller's memory, which must then outlive *out.

// InferRequest { model_id, input: the tensors }, with the checks and throws
// of WireTransformer::ConvertToWireFormatNDArray, in the map's order.
void EncodeMXNetInfer(
    const std::string& model_id,
    const std::unordered_map<std::string, mxnet::MXTensor>& inputs,
    EncodedRequest* out);
// LoadModelRequest { model_id, model_spec { serialized_model: the symbol
// JSON as an MXNetSymbolJson, named_tensor: the parameters } }.
void EncodeMXNetLoad(
    const std::string& model_id, const std::string& symbol_json,
    const std::unordered_map<std::string, mxnet::MXTensor>& params,
    EncodedRequest* out);
// InferRequest { model_id, input: the named bytes in order, output_name }.
void EncodeTorchInfer(
    const std::string& model_id,
    const std::vector<std::pair<std::string, std::string>>& inputs,
    const std::vector<std::string>& output_names, EncodedRequest* out);
// LoadModelRequest { model_id, model_spec { serialized_model } }.
void EncodeTorchLoad(const std::string& model_id,
                     const std::string& model_bytes, EncodedRequest* out);

// Tensors and serialized models encoded so far by this process, one per
// tensor or model and encoding, so that a test can tell that retries and
// reloads encode nothing again.
uint64_t PayloadEncodings();

// The pieces of a received message; *slices keeps them alive. A buffer
// that was never filled is an empty message. Throws 21 when gRPC cannot
// read the buffer (a compressed message that does not decompress).
std::vector<Piece> PiecesOf(const grpc::ByteBuffer& buffer,
                            std::vector<grpc::Slice>* slices);

// Copies the received outputs of an InferResponse into the caller's
// buffers as WireTransformer::ConvertFromWireFormatNamedTensors does, with
// the same checks, log lines and throws (earlier buffers stay written when
// a later output fails), and throws 21, before writing anything, for a
// malformed answer.
void DecodeMXNetOutputs(const std::vector<Piece>& response,
                        std::vector<mxnet::MXTensor>* out);
void DecodeMXNetOutputs(const grpc::ByteBuffer& response,
                        std::vector<mxnet::MXTensor>* out);

// Appends each received output's tensor_content (empty for an output
// without a tensor) to *out in wire order, each string made once from the
// received bytes; throws 21 for a malformed answer, *out then untouched.
void DecodeTorchOutputs(const std::vector<Piece>& response,
                        std::vector<std::string>* out);
void DecodeTorchOutputs(const grpc::ByteBuffer& response,
                        std::vector<std::string>* out);

}  // namespace wire
}  // namespace zva

#endif  // ZVA_RPC_TENSOR_CODEC_H_
