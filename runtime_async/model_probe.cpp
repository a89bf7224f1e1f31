// The model-family probe: which kind of model a container declares, read from its header, file
// table and manifest only, so that a Velda model is turned away (or handed on) before anything
// heavy is loaded.
#include "host/error.hpp"
#include "host/objects.hpp"
#include "host/statements.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_imx_container{"ImxContainer"};
host::Name n_is_imx_file{"is_imx_file"};
host::Name n_is_file{"is_file"};
host::Name n_metadata{"metadata"};
host::Name n_model_type{"model_type"};

constexpr const char* kReaderModule = "talvo.engine.video_reader";

// (model_path)
host::Ref peek_model_type(host::Args a) {
  host::Borrowed model_path = a[0];
  // Imported on every call through sys.modules: a reader swapped or removed there is honoured.
  host::Ref container_type, is_imx_file;
  try {
    host::Ref reader = host::import(kReaderModule);
    container_type = host::import_from(reader.view(), n_imx_container);
    is_imx_file = host::import_from(reader.view(), n_is_imx_file);
  } catch (host::PyError& e) {
    if (!e.matches(host::exc::ImportError())) throw;
    return host::Ref::none();  // without a reader no container can be recognised
  }

  host::Ref path_type = host::global(names::g_path);
  host::Ref path = host::call(path_type.view(), {model_path});
  if (!host::truthy(host::call_method(path.view(), n_is_file).view())) return host::Ref::none();
  if (!host::truthy(host::call(is_imx_file.view(), {model_path}).view())) return host::Ref::none();

  host::Ref container;
  try {
    container = host::call(container_type.view(), {model_path});
  } catch (host::PyError& e) {
    if (!e.matches(host::exc::Exception())) throw;
    return host::Ref::none();  // unreadable or malformed: not a model of any known family
  }
  host::Ref meta = host::getattr(container.view(), n_metadata);
  if (!host::truthy(meta.view())) return host::Ref::none();
  host::Ref value =
      host::call_method(meta.view(), names::get, {host::Borrowed(n_model_type.get())});
  return host::is_str(value.view()) ? value : host::Ref::none();
}

// (model_path)
host::Ref reject_if_velda_model(host::Args a) {
  host::Borrowed model_path = a[0];
  host::Ref peek = host::global(names::g_peek_model_type);
  host::Ref kind = host::call(peek.view(), {model_path});
  if (!host::equals(kind.view(), host::Borrowed(names::velda.get()))) {
    return host::Ref::none();
  }
  host::Ref shown = host::repr(model_path);
  host::Ref message = host::format(
      "Model at %U is an Velda (.imx with model_type='velda') model. The in-process Python "
      "runtime serves Orrin models only. Velda models run on macOS with Apple Silicon (M3 or "
      "later) via the Talvo Swift SDK: https://github.com/talvo-ai/talvo-swift",
      shown.get());
  host::Ref error_type = host::global(names::g_velda_not_supported);
  host::Ref error = host::call(error_type.view(), {message.view()});
  host::raise_instance(error.view());
}

}  // namespace

extern const Operation kPeekModelType{
    "_peek_model_type",
    Scope::module,
    {host::MethodKind::free_function, nullptr, nullptr, peek_model_type},
    1,
    R"(def _peek_model_type(model_path: str | os.PathLike[str]) -> str | None:
    """The model_type an .imx container's manifest declares, or None.

    Reads only the header, file table and manifest, so it stays cheap for large models.
    None when the path is not a regular file, is not a readable container, has no
    manifest, declares no string model_type, or when the container reader is unavailable.
    """
)"};

extern const Operation kRejectIfVeldaModel{
    "_reject_if_velda_model",
    Scope::module,
    {host::MethodKind::free_function, nullptr, nullptr, reject_if_velda_model},
    1,
    R"(def _reject_if_velda_model(model_path: str | os.PathLike[str]) -> None:
    """Raise VeldaModelNotSupported when model_path holds a Velda model.

    The in-process runtime serves Orrin models only; any other path passes silently.
    """
)"};

}  // namespace talvo
