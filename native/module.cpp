// Module initialisation: the imports bound in the namespace in their fixed
// order, then the class DataHelper made the way a class statement makes it.
#include "fastpath.hpp"
#include "function.hpp"
#include "methods.hpp"

namespace qx {
namespace {

constexpr Check S = Check::Str;
constexpr Check L = Check::List;
constexpr Check N = Check::None;
constexpr Default REQ = Default::Required;
constexpr Default NONE = Default::NoneValue;

const ParamDesc kSelf{"self", nullptr, N, REQ};

const char* const kDocProcessData =
    "Check and prepare the data of one model-building run.\n\n"
    ":param df: the input data (the training data when user_holdout_df is given)\n"
    ":param learning_type: forecasting or timeseries anomaly prediction\n"
    ":param target_columns: target column designations (positions or labels), or one designation\n"
    ":param feature_columns: feature column designations (positions or labels), or one designation\n"
    ":param timestamp_column: timestamp column designation; None or -1 when there is none\n"
    ":param anomaly_label_column: anomaly label column designation, or None\n"
    ":param holdout_size: holdout ratio (a float below 1) or number of holdout rows\n"
    ":param user_holdout_df: the user holdout data, or None\n"
    ":param tshirt_size: the t-shirt size that selects the limits\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":return: (df, user_holdout_df, holdout_size, target_column_indexes, feature_column_indexes,\n"
    "          timestamp_column_idx, anomaly_label_column_idx)";

const char* const kDocColNum =
    "Refuse more target or feature columns than the t-shirt size allows.\n\n"
    ":param learning_type: the learning type\n"
    ":param tshirt_size: the t-shirt size\n"
    ":param target_columns: target column positions\n"
    ":param feature_columns: feature column positions";

const char* const kDocParseTimeCol =
    "Drop rows without a timestamp and convert the timestamp column in place.\n\n"
    ":param data_df: the table to change in place\n"
    ":param time_col: name of the timestamp column\n"
    ":param data_type: which table this is (training, holdout or input)";

const char* const kDocTimeInterval =
    "Check that the time steps are evenly spaced; warn when they vary by more than 20 percent.\n\n"
    ":param df: the table, sorted by time\n"
    ":param time_col: name of the timestamp column\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":param data_type: which table this is (training, holdout or input)";

const char* const kDocHoldoutNewer =
    "Refuse holdout data that start before the training data end.\n\n"
    ":param train_df: the training data, sorted by time\n"
    ":param holdout_df: the user holdout data, sorted by time\n"
    ":param time_col: name of the timestamp column";

const char* const kDocDataLen =
    "Check the row count against the limits; cut to the latest rows when too long.\n\n"
    ":param df: the data\n"
    ":param learning_type: the learning type\n"
    ":param tshirt_size: the t-shirt size\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":return: the data to use";

const char* const kDocHoldoutLen =
    "Cut the user holdout data to the permitted share of all rows.\n\n"
    ":param train_df: the training data\n"
    ":param holdout_df: the user holdout data, sorted by time\n"
    ":param learning_type: the learning type\n"
    ":param holdout_size: holdout ratio or number of holdout rows\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":return: (holdout_df, holdout_size)";

const char* const kDocHoldoutMetadata =
    "Refuse a holdout table whose columns differ from the training table's.\n\n"
    ":param train_df: the training data\n"
    ":param holdout_df: the user holdout data";

const char* const kDocCheckMissing =
    "Refuse columns that hold a missing value.\n\n"
    ":param df: the data\n"
    ":param col_idx: positions of the columns to check\n"
    ":param missing_value: the value counted as missing (NaN by default)";

const char* const kDocInputParams =
    "Check the learning type, the t-shirt size and the column designations it requires.\n\n"
    ":param learning_type: the learning type\n"
    ":param target_columns: target column designations\n"
    ":param feature_columns: feature column designations\n"
    ":param user_holdout_df: the user holdout data, or None\n"
    ":param tshirt_size: the t-shirt size";

const char* const kDocInputData =
    "Check the data and the holdout size; return the holdout size in rows.\n\n"
    ":param df: the input data (the training data when holdout_df is given)\n"
    ":param learning_type: the learning type\n"
    ":param holdout_size: holdout ratio (a float below 1) or number of holdout rows\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":param holdout_df: the user holdout data, or None\n"
    ":return: the number of holdout rows";

// The fifteen methods, in their order of definition.
const std::vector<MethodDesc>& method_descs() {
  static const std::vector<MethodDesc> descs = {
      {"process_data", kDocProcessData, true, nullptr,
       {{"df", "pd.DataFrame", N, REQ},
        {"learning_type", "str", S, REQ},
        {"target_columns", "Union[list, int, str]", N, REQ},
        {"feature_columns", "Union[list, int, str]", N, REQ},
        {"timestamp_column", "Union[int, float, str]", N, REQ},
        {"anomaly_label_column", "Union[int, float, str]", N, REQ},
        {"holdout_size", "Union[float, int]", N, REQ},
        {"user_holdout_df", "pd.DataFrame", N, REQ},
        {"tshirt_size", "str", S, REQ},
        {"warn_msg", "list", L, REQ}},
       process_data},
      {"validate_input_data_col_num", kDocColNum, false, nullptr,
       {kSelf,
        {"learning_type", "str", S, REQ},
        {"tshirt_size", "str", S, REQ},
        {"target_columns", "list", L, NONE},
        {"feature_columns", "list", L, NONE}},
       validate_input_data_col_num},
      {"parse_time_col", kDocParseTimeCol, false, nullptr,
       {kSelf, {"data_df", "pd.DataFrame", N, REQ}, {"time_col", "str", S, REQ}, {"data_type", "DataType", N, REQ}},
       parse_time_col},
      {"validate_time_interval", kDocTimeInterval, false, nullptr,
       {kSelf,
        {"df", "pd.DataFrame", N, REQ},
        {"time_col", "str", S, REQ},
        {"warn_msg", "list", L, REQ},
        {"data_type", "DataType", N, REQ}},
       validate_time_interval},
      {"check_user_holdout_newer", kDocHoldoutNewer, false, nullptr,
       {kSelf,
        {"train_df", "pd.DataFrame", N, REQ},
        {"holdout_df", "pd.DataFrame", N, REQ},
        {"time_col", "str", S, REQ}},
       check_user_holdout_newer},
      {"validate_data_len", kDocDataLen, false, nullptr,
       {kSelf,
        {"df", "pd.DataFrame", N, REQ},
        {"learning_type", "str", S, REQ},
        {"tshirt_size", "str", S, REQ},
        {"warn_msg", "list", L, REQ}},
       validate_data_len},
      {"validate_user_holdout_len", kDocHoldoutLen, false, nullptr,
       {kSelf,
        {"train_df", "pd.DataFrame", N, REQ},
        {"holdout_df", "pd.DataFrame", N, REQ},
        {"learning_type", "str", S, REQ},
        {"holdout_size", "Union[int, float]", N, REQ},
        {"warn_msg", "list", L, REQ}},
       validate_user_holdout_len},
      {"check_user_holdout_metadata", kDocHoldoutMetadata, false, nullptr,
       {kSelf, {"train_df", "pd.DataFrame", N, REQ}, {"holdout_df", "pd.DataFrame", N, REQ}},
       check_user_holdout_metadata},
      {"check_missing", kDocCheckMissing, false, nullptr,
       {kSelf,
        {"df", "pd.DataFrame", N, REQ},
        {"col_idx", "list", L, REQ},
        {"missing_value", nullptr, N, Default::NumpyNaN}},
       check_missing},
      {"validate_input_params", kDocInputParams, false, nullptr,
       {kSelf,
        {"learning_type", "str", S, REQ},
        {"target_columns", "Union[list, int, str]", N, REQ},
        {"feature_columns", "Union[list, int, str]", N, REQ},
        {"user_holdout_df", "pd.DataFrame", N, REQ},
        {"tshirt_size", "str", S, REQ}},
       validate_input_params},
      {"validate_input_data", kDocInputData, false, "int",
       {kSelf,
        {"df", "pd.DataFrame", N, REQ},
        {"learning_type", "str", S, REQ},
        {"holdout_size", "Union[float, int]", N, REQ},
        {"warn_msg", "list", L, REQ},
        {"holdout_df", "pd.DataFrame", N, NONE}},
       validate_input_data},
      {"get_cols_idx", nullptr, false, "Union[list, int]",
       {kSelf,
        {"df", "pd.DataFrame", N, REQ},
        {"cols", "list", L, REQ},
        {"col_role", "str", S, REQ},
        {"learning_type", "str", S, REQ},
        {"warn_msg", "list", L, NONE}},
       get_cols_idx},
      {"check_time_col_specified_twice", nullptr, false, nullptr,
       {kSelf,
        {"time_col_idx", "int", N, REQ},
        {"time_col_name", "str", S, REQ},
        {"other_col_idx", "list", L, REQ},
        {"col_role", "str", S, REQ}},
       check_time_col_specified_twice},
      {"str2float", nullptr, false, nullptr,
       {kSelf, {"df", "pd.DataFrame", N, REQ}, {"col_idx", "list", L, REQ}, {"col_role", "str", S, REQ}},
       str2float},
      {"process_data_by_time_col", nullptr, false, "pd.DataFrame",
       {kSelf,
        {"df", "pd.DataFrame", N, REQ},
        {"holdout_df", "pd.DataFrame", N, REQ},
        {"time_col", "str", S, REQ},
        {"learning_type", "str", S, REQ},
        {"holdout_size", "Union[int, float]", N, REQ},
        {"warn_msg", "list", L, REQ}},
       process_data_by_time_col},
  };
  return descs;
}

const char* const kConstantNames[] = {
    "DataType", "COLUMN_ROLE_TARGET", "COLUMN_ROLE_FEATURE", "COLUMN_ROLE_SUPPORTING_FEATURE",
    "COLUMN_ROLE_TIMESTAMP", "COLUMN_ROLE_ANOMALY_LABEL", "MIN", "MAX", "COLUMN", "ROW", "THRESHOLD",
    "HOLDOUT_MAX_RATIO", "HOLDOUT_MIN", "HOLDOUT_MAX", "INPUT_DATA_LIMITATION",
    "LEARNING_TYPE_TIMESERIES_FORECASTING", "LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION", "TSHIRT_SIZE_SMALL",
    "TSHIRT_SIZE_MEDIUM", "TSHIRT_SIZE_LARGE", "TSHIRT_SIZE_EXTRA_LARGE",
};

// `from module import name [as bound]`, into the namespace.
void from_import(PyObject* ns, const char* module, const char* name) {
  Ref fromlist = check(Py_BuildValue("(s)", name));
  Ref mod = check(PyImport_ImportModuleLevel(module, ns, nullptr, fromlist.get(), 0));
  PyObject* value = PyObject_GetAttrString(mod.get(), name);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw_error();
  }
  Ref v = Ref::steal(value);
  check(PyDict_SetItemString(ns, name, v.get()));
}

// `import module as bound`, into the namespace.
void import_as(PyObject* ns, const char* module, const char* bound) {
  Ref mod = import_module(module);
  check(PyDict_SetItemString(ns, bound, mod.get()));
}

void make_class(PyObject* ns) {
  Ref np = item(ns, text("np").get());
  Ref nan = attr(np, "NaN");
  Ref body = new_dict();
  Ref modname = text("quarnex.utils.data_helper");
  check(PyDict_SetItemString(body.get(), "__module__", modname.get()));
  Ref qualname = text("DataHelper");
  check(PyDict_SetItemString(body.get(), "__qualname__", qualname.get()));
  for (const MethodDesc& desc : method_descs()) {
    Ref fn = make_function(desc, ns, nan.get());
    if (desc.is_static) fn = check(PyStaticMethod_New(fn.get()));
    check(PyDict_SetItemString(body.get(), desc.name, fn.get()));
  }
  Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname, bases, body);
  check(PyDict_SetItemString(ns, "DataHelper", cls.get()));
}

void initialise(PyObject* module) {
  PyObject* ns = PyModule_GetDict(module);  // borrowed
  if (!ns) throw_error();
  from_import(ns, "typing", "Union");
  from_import(ns, "fractions", "Fraction");
  import_as(ns, "datetime", "datetime");
  import_as(ns, "pandas", "pd");
  import_as(ns, "numpy", "np");
  from_import(ns, "quarnex.utils.messages.messages", "Messages");
  Ref fromlist = check(PyList_New(0));
  for (const char* name : kConstantNames) append(fromlist.get(), text(name).get());
  Ref fromtuple = check(PyList_AsTuple(fromlist.get()));
  Ref constants = check(PyImport_ImportModuleLevel("quarnex.utils.constants", ns, nullptr, fromtuple.get(), 0));
  for (const char* name : kConstantNames) {
    PyObject* value = PyObject_GetAttrString(constants.get(), name);
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'quarnex.utils.constants'", name);
      throw_error();
    }
    Ref v = Ref::steal(value);
    check(PyDict_SetItemString(ns, name, v.get()));
  }
  check(function_type_ready());
  make_class(ns);
}

PyObject* fastpath_stats(PyObject*, PyObject*) noexcept {
  return callback_boundary([] { return fast::stats(); }, "_fastpath_stats");
}

PyMethodDef module_methods[] = {
    {"_fastpath_stats", fastpath_stats, METH_NOARGS,
     "_fastpath_stats()\n--\n\nCounts of the fast routes since start-up: {route: {'hit': n, reason: n, ...}}, "
     "where a reason says why the route declined (off, kind, value, settings, error)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "data_helper",
    nullptr,
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qx

PyMODINIT_FUNC PyInit_data_helper() {
  using namespace qx;
  PyObject* m = PyModule_Create(&module_def);
  if (!m) return nullptr;
  Ref module = Ref::steal(m);
  bool registered = false;
  Ref name;
  try {
    name = check(PyModule_GetNameObject(module.get()));
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (!check(PyDict_Contains(modules, name.get()))) {
      check(PyDict_SetItem(modules, name.get(), module.get()));
      registered = true;
    }
    initialise(module.get());
  } catch (const PyErrorSet&) {
    if (registered) {
      ErrorGuard keep;
      if (PyDict_DelItem(PyImport_GetModuleDict(), name.get()) < 0) PyErr_Clear();
    }
    return nullptr;
  }
  return module.release();
}
