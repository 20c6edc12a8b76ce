// Module initialisation: the module definition, its execution slot and the
// registration of every public name in its fixed order.
#include "python/frame.hpp"

namespace quorvane::py {

// Type-object getters and function records of the bound classes, in
// registration order. An entry is listed once its class really exists.
PyTypeObject* heat1d_type_object();
PyTypeObject* heat2d_type_object();
PyTypeObject* heat3d_type_object();
PyTypeObject* heat1d4th_type_object();
PyTypeObject* heat1d6th_type_object();
PyTypeObject* drift_reaction1d_type_object();
PyTypeObject* shift1d_type_object();
PyTypeObject* schrodinger1d_type_object();
PyTypeObject* graph_path_type_object();
PyTypeObject* graph_heat_type_object();
PyTypeObject* magnus_graph_heat_type_object();
PyTypeObject* graph_type_object();
PyTypeObject* laplacian_type_object();
PyTypeObject* graph_heat4th_type_object();
PyTypeObject* var_coef_graph_heat_type_object();
PyTypeObject* magnus_graph_heat6_type_object();
PyTypeObject* graph_heat6_type_object();
PyTypeObject* var_coef_magnus_graph_type_object();
PyTypeObject* non_separable2d_type_object();
PyTypeObject* adjoint_type_object();
PyTypeObject* graph_adjoint_type_object();
PyTypeObject* graph_adjoint_presampled_type_object();
PyTypeObject* adaptive_pi_type_object();
PyTypeObject* growth_v3_type_object();
PyTypeObject* evolver_heat1d_unit_v3_type_object();
PyTypeObject* hypoelliptic_chernoff_heisenberg_type_object();
PyMethodDef* heisenberg_heat_kernel_function_def();
PyTypeObject* heat1d_zeta4_type_object();
PyTypeObject* heat1d_zeta6_type_object();
PyTypeObject* diffusion_expmv1d_type_object();
PyTypeObject* drift_reaction4th1d_type_object();
PyTypeObject* killing2nd1d_type_object();
PyTypeObject* matrix_diffusion2d_type_object();
PyTypeObject* matrix_diffusion3d_type_object();
PyTypeObject* heat1d_zeta8_type_object();
PyTypeObject* truncated_exp1d_type_object();
PyTypeObject* truncated_exp4th1d_type_object();
PyTypeObject* strang1d_type_object();
PyTypeObject* schrodinger_complex1d_type_object();
PyTypeObject* resolvent1d_type_object();
PyTypeObject* killing1d_type_object();
PyTypeObject* reflected1d_type_object();
PyTypeObject* robin1d_type_object();
PyTypeObject* dirichlet_heat2nd1d_type_object();
PyTypeObject* howland1d_type_object();
PyTypeObject* subordinated1d_type_object();
PyTypeObject* manifold2d_type_object();
PyTypeObject* hypoelliptic_chernoff_kolmogorov_type_object();
PyTypeObject* hypoelliptic_chernoff_engel_type_object();
PyTypeObject* quantum_graph_type_object();
PyTypeObject* quantum_graph_heat_type_object();
PyTypeObject* matrix_diffusion1d_type_object();
PyTypeObject* point_eval_type_object();
PyTypeObject* graph_traj_type_object();
PyTypeObject* strang_graph_type_object();
PyMethodDef* sample_gridfn2d_function_def();
PyTypeObject* anisotropic_shift_nd2_type_object();
PyTypeObject* anisotropic_shift_nd3_type_object();
PyTypeObject* non_separable2d_aniso_type_object();
PyTypeObject* heat2d_var_a_type_object();
PyTypeObject* heat3d_var_a_type_object();
PyMethodDef* edge_weight_grad_function_def();
PyMethodDef* edge_weight_grad_batched_function_def();
PyTypeObject* obstacle_chernoff_type_object();
PyTypeObject* evolver_heat1d_greeks_v3_type_object();
PyTypeObject* killed_dirichlet1d_type_object();
PyTypeObject* resolvent_jump_v8_type_object();
PyTypeObject* resolvent_jump2d_v8_type_object();
PyTypeObject* resolvent_jump3d_v8_type_object();
PyTypeObject* adjoint_fokker_planck_v8_type_object();
PyTypeObject* smolyak_d6v8_type_object();
PyTypeObject* complex_triple_jump_v8_type_object();
PyTypeObject* obstacle_gamma_v8_type_object();
PyTypeObject* obstacle_ndv8_type_object();
PyTypeObject* wentzell_v8_type_object();
PyTypeObject* gamma_family_type_object();
PyTypeObject* reverse_heat1d_type_object();
PyTypeObject* tt_state_type_object();
PyTypeObject* tt_evolver_type_object();
PyTypeObject* tt_coupled_evolver_type_object();
PyTypeObject* measure_state_type_object();
PyTypeObject* gridless_evolver_type_object();
PyTypeObject* var_coef_tt_evolver_type_object();
PyTypeObject* graph_krylov_type_object();
PyMethodDef* graph_expmv_frechet_function_def();
PyTypeObject* conservative_diffusion_chernoff_type_object();
PyMethodDef* assemble_conservative_csr_1d_function_def();
PyTypeObject* mass_k_operator_type_object();
PyMethodDef* mass_lumped_evolve_function_def();
PyTypeObject* etdrk4_type_object();
PyMethodDef* phi_action_function_def();
PyMethodDef* phi_action_batched_function_def();
PyTypeObject* symmetric_operator_type_object();
PyMethodDef* symmetric_op_expmv_frechet_function_def();
PyTypeObject* general_operator_type_object();
PyMethodDef* shift1d_coeff_grad_function_def();

namespace {

constexpr const char kVersion[] = "0.13.1-beta";

constexpr char kVersionDoc[] =
    "version()\n--\n\n"
    "Return the version string of the quorvane-py package.\n\n"
    "It names the same release as ``importlib.metadata.version(\"quorvane-pde\")``\n"
    "for the installed distribution, without the cost of that import, but in the\n"
    "library's own spelling: ``\"0.13.1-beta\"`` here is ``\"0.13.1b0\"`` there\n"
    "(the normalised form that Python packaging gives the distribution).\n\n"
    "Returns\n-------\nstr\n    The library version, e.g. ``\"0.13.1-beta\"``.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> print(quorvane.version())\n"
    "0.13.1-beta\n";

PyObject* version_body(PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [] { return py_str(kVersion).release(); });
}

PyMethodDef g_version_def = {"version", &version_body, METH_NOARGS, kVersionDoc};
PyMethodDef* version_function_def() { return &g_version_def; }

struct Item {
    enum Kind { Class, Exception, Function };
    Kind kind;
    const char* name;
    PyTypeObject* (*type)();
    PyMethodDef* (*function)();
};

const Item kRegistration[] = {
    {Item::Class, "Heat1D", &heat1d_type_object, nullptr},
    {Item::Class, "Heat2D", &heat2d_type_object, nullptr},
    {Item::Class, "Heat3D", &heat3d_type_object, nullptr},
    {Item::Class, "Heat1D4th", &heat1d4th_type_object, nullptr},
    {Item::Class, "Heat1D6th", &heat1d6th_type_object, nullptr},
    {Item::Class, "DriftReaction1D", &drift_reaction1d_type_object, nullptr},
    {Item::Class, "Shift1D", &shift1d_type_object, nullptr},
    {Item::Class, "Schrodinger1D", &schrodinger1d_type_object, nullptr},
    {Item::Class, "GraphPath", &graph_path_type_object, nullptr},
    {Item::Class, "GraphHeat", &graph_heat_type_object, nullptr},
    {Item::Class, "MagnusGraphHeat", &magnus_graph_heat_type_object, nullptr},
    {Item::Class, "Graph", &graph_type_object, nullptr},
    {Item::Class, "Laplacian", &laplacian_type_object, nullptr},
    {Item::Class, "GraphHeat4th", &graph_heat4th_type_object, nullptr},
    {Item::Class, "VarCoefGraphHeat", &var_coef_graph_heat_type_object, nullptr},
    {Item::Class, "MagnusGraphHeat6", &magnus_graph_heat6_type_object, nullptr},
    {Item::Class, "GraphHeat6", &graph_heat6_type_object, nullptr},
    {Item::Class, "VarCoefMagnusGraph", &var_coef_magnus_graph_type_object, nullptr},
    {Item::Class, "NonSeparable2D", &non_separable2d_type_object, nullptr},
    {Item::Class, "Adjoint", &adjoint_type_object, nullptr},
    {Item::Class, "GraphAdjoint", &graph_adjoint_type_object, nullptr},
    {Item::Class, "GraphAdjointPresampled", &graph_adjoint_presampled_type_object, nullptr},
    {Item::Class, "AdaptivePI", &adaptive_pi_type_object, nullptr},
    {Item::Exception, "QuorvaneError", nullptr, nullptr},
    {Item::Function, "version", nullptr, &version_function_def},
    {Item::Class, "GrowthV3", &growth_v3_type_object, nullptr},
    {Item::Class, "EvolverHeat1DUnitV3", &evolver_heat1d_unit_v3_type_object, nullptr},
    {Item::Class, "HypoellipticChernoffHeisenberg", &hypoelliptic_chernoff_heisenberg_type_object, nullptr},
    {Item::Function, "heisenberg_heat_kernel", nullptr, &heisenberg_heat_kernel_function_def},
    {Item::Class, "Heat1DZeta4", &heat1d_zeta4_type_object, nullptr},
    {Item::Class, "Heat1DZeta6", &heat1d_zeta6_type_object, nullptr},
    {Item::Class, "DiffusionExpmv1D", &diffusion_expmv1d_type_object, nullptr},
    {Item::Class, "DriftReaction4th1D", &drift_reaction4th1d_type_object, nullptr},
    {Item::Class, "Killing2nd1D", &killing2nd1d_type_object, nullptr},
    {Item::Class, "MatrixDiffusion2D", &matrix_diffusion2d_type_object, nullptr},
    {Item::Class, "MatrixDiffusion3D", &matrix_diffusion3d_type_object, nullptr},
    {Item::Class, "Heat1DZeta8", &heat1d_zeta8_type_object, nullptr},
    {Item::Class, "TruncatedExp1D", &truncated_exp1d_type_object, nullptr},
    {Item::Class, "TruncatedExp4th1D", &truncated_exp4th1d_type_object, nullptr},
    {Item::Class, "Strang1D", &strang1d_type_object, nullptr},
    {Item::Class, "SchrodingerComplex1D", &schrodinger_complex1d_type_object, nullptr},
    {Item::Class, "Resolvent1D", &resolvent1d_type_object, nullptr},
    {Item::Class, "Killing1D", &killing1d_type_object, nullptr},
    {Item::Class, "Reflected1D", &reflected1d_type_object, nullptr},
    {Item::Class, "Robin1D", &robin1d_type_object, nullptr},
    {Item::Class, "DirichletHeat2nd1D", &dirichlet_heat2nd1d_type_object, nullptr},
    {Item::Class, "Howland1D", &howland1d_type_object, nullptr},
    {Item::Class, "Subordinated1D", &subordinated1d_type_object, nullptr},
    {Item::Class, "Manifold2D", &manifold2d_type_object, nullptr},
    {Item::Class, "HypoellipticChernoffKolmogorov", &hypoelliptic_chernoff_kolmogorov_type_object, nullptr},
    {Item::Class, "HypoellipticChernoffEngel", &hypoelliptic_chernoff_engel_type_object, nullptr},
    {Item::Class, "QuantumGraph", &quantum_graph_type_object, nullptr},
    {Item::Class, "QuantumGraphHeat", &quantum_graph_heat_type_object, nullptr},
    {Item::Class, "MatrixDiffusion1D", &matrix_diffusion1d_type_object, nullptr},
    {Item::Class, "PointEval", &point_eval_type_object, nullptr},
    {Item::Class, "GraphTraj", &graph_traj_type_object, nullptr},
    {Item::Class, "StrangGraph", &strang_graph_type_object, nullptr},
    {Item::Function, "sample_gridfn2d", nullptr, &sample_gridfn2d_function_def},
    {Item::Class, "AnisotropicShiftND2", &anisotropic_shift_nd2_type_object, nullptr},
    {Item::Class, "AnisotropicShiftND3", &anisotropic_shift_nd3_type_object, nullptr},
    {Item::Class, "NonSeparable2DAniso", &non_separable2d_aniso_type_object, nullptr},
    {Item::Class, "Heat2DVarA", &heat2d_var_a_type_object, nullptr},
    {Item::Class, "Heat3DVarA", &heat3d_var_a_type_object, nullptr},
    {Item::Function, "edge_weight_grad", nullptr, &edge_weight_grad_function_def},
    {Item::Function, "edge_weight_grad_batched", nullptr, &edge_weight_grad_batched_function_def},
    {Item::Class, "ObstacleChernoff", &obstacle_chernoff_type_object, nullptr},
    {Item::Class, "EvolverHeat1DGreeksV3", &evolver_heat1d_greeks_v3_type_object, nullptr},
    {Item::Class, "KilledDirichlet1D", &killed_dirichlet1d_type_object, nullptr},
    {Item::Class, "ResolventJumpV8", &resolvent_jump_v8_type_object, nullptr},
    {Item::Class, "ResolventJump2DV8", &resolvent_jump2d_v8_type_object, nullptr},
    {Item::Class, "ResolventJump3DV8", &resolvent_jump3d_v8_type_object, nullptr},
    {Item::Class, "AdjointFokkerPlanckV8", &adjoint_fokker_planck_v8_type_object, nullptr},
    {Item::Class, "SmolyakD6V8", &smolyak_d6v8_type_object, nullptr},
    {Item::Class, "ComplexTripleJumpV8", &complex_triple_jump_v8_type_object, nullptr},
    {Item::Class, "ObstacleGammaV8", &obstacle_gamma_v8_type_object, nullptr},
    {Item::Class, "ObstacleNDV8", &obstacle_ndv8_type_object, nullptr},
    {Item::Class, "WentzellV8", &wentzell_v8_type_object, nullptr},
    {Item::Class, "GammaFamily", &gamma_family_type_object, nullptr},
    {Item::Class, "ReverseHeat1D", &reverse_heat1d_type_object, nullptr},
    {Item::Class, "TtState", &tt_state_type_object, nullptr},
    {Item::Class, "TtEvolver", &tt_evolver_type_object, nullptr},
    {Item::Class, "TtCoupledEvolver", &tt_coupled_evolver_type_object, nullptr},
    {Item::Class, "MeasureState", &measure_state_type_object, nullptr},
    {Item::Class, "GridlessEvolver", &gridless_evolver_type_object, nullptr},
    {Item::Class, "VarCoefTtEvolver", &var_coef_tt_evolver_type_object, nullptr},
    {Item::Class, "GraphKrylov", &graph_krylov_type_object, nullptr},
    {Item::Function, "graph_expmv_frechet", nullptr, &graph_expmv_frechet_function_def},
    {Item::Class, "ConservativeDiffusionChernoff", &conservative_diffusion_chernoff_type_object, nullptr},
    {Item::Function, "assemble_conservative_csr_1d", nullptr, &assemble_conservative_csr_1d_function_def},
    {Item::Class, "MassKOperator", &mass_k_operator_type_object, nullptr},
    {Item::Function, "mass_lumped_evolve", nullptr, &mass_lumped_evolve_function_def},
    {Item::Class, "Etdrk4", &etdrk4_type_object, nullptr},
    {Item::Function, "phi_action", nullptr, &phi_action_function_def},
    {Item::Function, "phi_action_batched", nullptr, &phi_action_batched_function_def},
    {Item::Class, "SymmetricOperator", &symmetric_operator_type_object, nullptr},
    {Item::Function, "symmetric_op_expmv_frechet", nullptr, &symmetric_op_expmv_frechet_function_def},
    {Item::Class, "GeneralOperator", &general_operator_type_object, nullptr},
    {Item::Function, "shift1d_coeff_grad", nullptr, &shift1d_coeff_grad_function_def},
};

// Appends the name to __all__ (created on first use) and sets the attribute.
void add_name(PyObject* module, const char* name, PyObject* obj) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all) throw_python_error();
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_python_error();
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        throw_python_error();
    }
    Ref pyname = py_str(name);
    if (PyList_Append(all.get(), pyname.get()) != 0) internal_fault("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, pyname.get(), obj) != 0) throw_python_error();
}

void register_function(PyObject* module, PyMethodDef* def) {
    Ref modname(PyObject_GetAttrString(module, "__name__"));
    if (!modname) throw_python_error();
    Ref fn(PyCMethod_New(def, module, modname.get(), nullptr));
    if (!fn) throw_python_error();
    Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) throw_python_error();
    Py_ssize_t len = 0;
    const char* u = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &len) : nullptr;
    if (!u) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
        throw_python_error();
    }
    add_name(module, std::string(u, static_cast<std::size_t>(len)).c_str(), fn.get());
}

int init_module(PyObject* module) {
    try {
        for (const Item& item : kRegistration) {
            switch (item.kind) {
                case Item::Class:
                    add_name(module, item.name, reinterpret_cast<PyObject*>(item.type()));
                    break;
                case Item::Exception:
                    add_name(module, item.name, quorvane_error_type());
                    break;
                case Item::Function:
                    register_function(module, item.function());
                    break;
            }
        }
        return 0;
    } catch (const BindError& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, (std::string("quorvane: internal fault during import: ") + e.what()).c_str());
    } catch (...) {
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "quorvane: internal fault during import");
    }
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&init_module)},
    {0, nullptr},
};

constexpr const char kModuleDoc[] =
    "`PyO3` module definition for `quorvane`.\n\n"
    "Registration is split into three helper functions, each handling one wave of classes. "
    "Together they add the exception type, every class and every module-level function in a fixed order.";

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "quorvane", kModuleDoc, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quorvane() {
    return PyModuleDef_Init(&quorvane::py::g_module);
}
