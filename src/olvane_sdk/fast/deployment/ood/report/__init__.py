"""Shift report: how far each served model's live traffic has drifted from
the reference its recipe recorded.

It reads the handler's public attributes, as any host would:
``train_test_embeddings[model][modality]`` ({"train", "train_roles", "test"})
and ``live_embeddings[model][modality]["live"]`` (copied under
``embedding_lock``). For every served model and modality it compares the live
embeddings with the recipe's *train* embeddings by two methods, and compares
the recipe's *test* split with the same train embeddings by the same methods;
the test split is drawn from the reference distribution, so its figures show
what "no shift" looks like for this model and sample size (the yardstick).

1. Domain classifier, ROC AUC: a kernel classifier (Nystroem RBF features,
   ridge-regularised least squares) tells the compared set (label 1) from
   train (label 0); its ROC AUC is 5-fold cross-validated. About 0.5: the
   sets cannot be told apart; towards 1.0: the traffic has moved.
2. Maximum mean discrepancy (MMD) with a Gaussian (RBF) kernel (median
   heuristic bandwidth): the unbiased squared MMD and a permutation test,
   p = (1 + #{permuted MMD >= observed}) / (1 + n_permutations). Both come
   from one float32 kernel matrix of the pooled sample (:mod:`.two_sample`).
3. The out-of-distribution share: each live message's cosine distance to its
   k-th nearest train embedding, against a calibration built once per recipe
   load (leave-one-out train scores plus the test split); the count past the
   calibration's tail is tested against an upper bound on the share normal
   traffic reaches (:class:`.stats.Calibration`).

A message repeated in the window (identical, or at cosine >= 0.98 with an
earlier one) counts once in all three (:func:`.detect.dedup`; the row's
``repeats``). The novelty statistic is the largest group of flagged messages
that lie nearer each other than the reference (:func:`.detect.largest_group`),
against the recipe's own cutoff (:mod:`.calibrate`); a diffuse test reads the
classifier's out-of-fold ranks (:func:`.stats.diffuse_test`); a CUSUM over
the messages in arrival order, carried from report to report
(:func:`.detect.advance`), sets the row's ``alarm``.

Verdict per row: ``shift`` when the MMD p-value is below ``alpha`` and the
AUC reaches ``auc_threshold``; else ``novel`` when the largest group reaches
the recipe's cutoff, or the share test's p-value is below ``alpha_novel``
with a group among the flagged messages, or the diffuse test is
significant, or the alarm is raised (the row's ``novel_by`` says which);
else ``drift`` when the MMD test alone is significant; ``ok`` otherwise;
``n/a`` when either side has fewer than ``min_samples`` embeddings, there
is no reference, the train array is unusable, or the dimensions differ.
Everything is seeded and deterministic.

One bad row never fails the report (see :mod:`.compute`). The data model is
in :mod:`.model`, the methods in :mod:`.two_sample` and :mod:`.stats`, the
verdict in :mod:`.verdict`, the tables and the plot in :mod:`.render`.

Use::

    from olvane_sdk.fast.deployment.ood.interceptor import olvane_shift_detection_handler as h
    from olvane_sdk.fast.deployment.ood.report import shift_report, print_report, plot_report
    rep = shift_report(h)
    print_report(rep)
    plot_report(rep, "shift.png")
"""
from __future__ import annotations

from .render import plot_report, print_report, report_table, servers_table
from .settings import ENV, ReportSettings, SettingsError
from .detect import dedup
from .compute import calibration_for, compare, shift_report
from .inputs import copy_embeddings
from .model import MODALITIES, ModalityRow, ShiftReport, json_safe
from .stats import Calibration, ShareTest, tail_bound
from .two_sample import (Comparison, domain_classifier_auc, kernel_two_sample, median_heuristic_gamma,
                         mmd_permutation_test)
from .verdict import Verdict, verdict_for

__all__ = ["shift_report", "print_report", "plot_report", "report_table", "servers_table", "ReportSettings",
           "SettingsError", "ENV", "ShiftReport", "ModalityRow", "Comparison", "ShareTest", "Calibration",
           "calibration_for", "tail_bound", "Verdict", "verdict_for", "compare", "copy_embeddings",
           "kernel_two_sample", "domain_classifier_auc", "median_heuristic_gamma", "mmd_permutation_test",
           "MODALITIES", "json_safe", "dedup"]
