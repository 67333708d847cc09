// SPDX-License-Identifier: BSD-3-Clause
/* The host interface of a component plug-in: the engine's builder operations (ne_mli), the host's
 * utility functions (foundation_util), and the records and callbacks that cross between them.
 * C linkage, x86-64 Linux. A plug-in built against this header links against the host's own
 * libraries unchanged. */
#ifndef PENSTOCK_NE_MLI_H
#define PENSTOCK_NE_MLI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NeBuilder NeBuilder; /* opaque handles */
typedef struct NeEqnGroup NeEqnGroup;
typedef struct NeEquation NeEquation;
typedef struct NeVariable NeVariable;
typedef struct NeParameterSource NeParameterSource;

typedef struct EvalContext {
    const double* inputs;  /* n_inputs doubles, index 0 = time */
    const int32_t* modes;  /* n_modes flags, 0 or 1 */
    const void* reserved;  /* read by no component */
    const double* params;  /* the ParameterBlock */
} EvalContext;

typedef void (*NeEquationMethod)(const EvalContext* ctx, void* out); /* slots 0-4, 6-8 */
typedef void (*NeParamMethod)(const double* params, double* out);    /* LinearRow */
typedef void (*NeGroupMethod)(const EvalContext* ctx, void* out); /* ZeroCrossings: double*, Modes: int32_t* */
typedef double* (*NeSetupFcn)(const NeParameterSource* source);
typedef void (*NeCleanupFcn)(double* block);
typedef NeEqnGroup* (*NeBuildFcn)(NeBuilder* builder);

typedef struct RegistrationRecord {
    void* reserved0;
    void* reserved1;
    NeBuildFcn builder; /* the only field a plug-in writes */
    void* reserved3;
} RegistrationRecord;

NeEqnGroup* ne_builder_add_group(NeBuilder* b);
NeVariable* ne_builder_get_time(NeBuilder* b);
NeVariable* ne_builder_get_element_variable(NeBuilder* b, const char* name, int32_t flags); /* flags: always 0 */
void ne_eqn_group_add_input(NeEqnGroup* g, NeVariable* v);
NeEquation* ne_eqn_group_add_equation(NeEqnGroup* g);
void ne_eqn_set_differential(NeEquation* e, int32_t input_index);
void ne_eqn_set_method(NeEquation* e, int32_t slot, NeEquationMethod fn);
void ne_eqn_set_param_method(NeEquation* e, int32_t slot, NeParamMethod fn);
void ne_eqn_group_set_method_size(NeEqnGroup* g, int32_t slot, int32_t count);
void ne_eqn_group_set_method(NeEqnGroup* g, int32_t slot, NeGroupMethod fn);
void ne_eqn_group_set_setup_cleanup_fcn(NeEqnGroup* g, NeSetupFcn setup, NeCleanupFcn cleanup);
const double* ne_eqn_get_parameter(const NeParameterSource* source, const char* name); /* NULL when absent */

void* pmf_calloc(size_t count, size_t size);
void pmf_free(void* p);
bool pmf_is_finite(double x); /* plug-ins test only the low byte */

void mexFunction(RegistrationRecord* record); /* each plug-in's only export */

#ifdef __cplusplus
}
#endif

#endif
