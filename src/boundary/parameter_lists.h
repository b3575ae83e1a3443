// Parameter lists of the module's functions, in order.
#pragma once

#include "boundary/binding.h"

namespace korvath::py {

inline constexpr const char* kSimulatorParams[] = {
    "n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer", "loss",
    "origination", "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self"};

inline constexpr const char* kParallelProfileParams[] = {
    "n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer", "loss",
    "origination", "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self",
    "n_copies", "n_threads"};

inline constexpr const char* kWriteParams[] = {
    "n_nodes", "parent", "time", "extant_leaf", "root", "names", "duplication", "transfer", "loss",
    "origination", "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self",
    "total_age", "outdir"};

inline constexpr const char* kNucleotideParams[] = {
    "n_nodes", "parent", "time", "extant_leaf", "root", "inversion", "loss", "duplication",
    "transfer", "transposition", "origination", "root_length", "extension", "initial_size", "seed",
    "replacement", "distance_decay", "allow_self"};

inline constexpr const char* kDatedJointParams[] = {
    "sp_parent", "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root",
    "gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species", "dup", "transfer", "loss",
    "n_steps", "origination", "n_extinct"};

inline constexpr const char* kUndatedJointParams[] = {
    "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root", "gt_offsets",
    "gt_is_leaf", "gt_left", "gt_right", "gt_species", "dup", "transfer", "loss", "transfers",
    "origination", "n_extinct"};

inline constexpr const char* kDatedCladeParams[] = {
    "sp_parent", "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root",
    "cl_offsets", "cl_is_leaf", "cl_species", "cl_split_offsets", "split_left", "split_right",
    "split_weight", "dup", "transfer", "loss", "n_steps", "origination"};

inline constexpr const char* kUndatedCladeParams[] = {
    "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root", "cl_offsets",
    "cl_is_leaf", "cl_species", "cl_split_offsets", "split_left", "split_right", "split_weight",
    "dup", "transfer", "loss", "transfers", "origination"};

inline constexpr const char* kUndatedReconcileParams[] = {
    "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root", "cl_offsets",
    "cl_is_leaf", "cl_species", "cl_split_offsets", "split_left", "split_right", "split_weight",
    "dup", "transfer", "loss", "transfers", "origination", "samples", "seed", "first_family"};

inline constexpr const char* kDatedReconcileParams[] = {
    "sp_parent", "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root",
    "cl_offsets", "cl_is_leaf", "cl_species", "cl_split_offsets", "split_left", "split_right",
    "split_weight", "dup", "transfer", "loss", "n_steps", "origination", "samples", "seed",
    "first_family"};

inline constexpr FunctionSpec kSimulateLogSpec{"simulate_log", kSimulatorParams};
inline constexpr FunctionSpec kSimulateTraceSpec{"simulate_trace", kSimulatorParams};
inline constexpr FunctionSpec kSimulateProfilesSpec{"simulate_profiles", kSimulatorParams};
inline constexpr FunctionSpec kSimulateProfilesParallelSpec{"simulate_profiles_parallel",
                                                            kParallelProfileParams};
inline constexpr FunctionSpec kSimulateAndWriteSpec{"simulate_and_write", kWriteParams};
inline constexpr FunctionSpec kSimulateNucleotideSpec{"simulate_nucleotide", kNucleotideParams};
inline constexpr FunctionSpec kDatedJointSpec{"dated_joint_loglik", kDatedJointParams};
// The per-family functions take the joint parameters without `n_extinct`.
inline constexpr FunctionSpec kDatedFamilySpec{
    "dated_family_loglik", std::span<const char* const>(kDatedJointParams, 17)};
inline constexpr FunctionSpec kUndatedJointSpec{"undated_joint_loglik", kUndatedJointParams};
inline constexpr FunctionSpec kUndatedFamilySpec{
    "undated_family_loglik", std::span<const char* const>(kUndatedJointParams, 16)};
inline constexpr FunctionSpec kDatedCladeSpec{"dated_clade_loglik", kDatedCladeParams};
inline constexpr FunctionSpec kUndatedCladeSpec{"undated_clade_loglik", kUndatedCladeParams};
inline constexpr FunctionSpec kUndatedReconcileSpec{"undated_clade_reconcile",
                                                    kUndatedReconcileParams};
inline constexpr FunctionSpec kDatedReconcileSpec{"dated_clade_reconcile",
                                                  kDatedReconcileParams};

}  // namespace korvath::py
