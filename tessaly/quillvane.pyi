"""Credit scorecards from SHAP values and each bin's Weight of Evidence."""

import os as os
import pickle as pickle
import warnings as warnings
from typing import Any as Any, Dict as Dict, List as List, Optional as Optional, Tuple as Tuple

import numpy as np
import pandas as pd
import plotly.graph_objects as go
import shap as shap
from plotly.subplots import make_subplots as make_subplots


def count_zeros_before_non_zero(number: float) -> int: ...
def _validate_inputs(
    model_instance: Any, training_df: pd.DataFrame, X_test: pd.DataFrame, BINS_DIRECTORY: str, target_var: str
) -> None: ...
def _extract_shap_coefficients(
    model_instance: Any, X_test: pd.DataFrame, technique: str
) -> Tuple[pd.DataFrame, float]: ...
def _merge_woe_data(
    LIST_BIN_VARS: List[str],
    target_var: str,
    shap_coefficients_df: pd.DataFrame,
    input_ref_df: pd.DataFrame,
    BINS_DIRECTORY: str,
) -> pd.DataFrame: ...
def _calculate_credit_scores(
    final_coefficients_df: pd.DataFrame,
    LIST_BIN_VARS: List[str],
    shap_base_value: float,
    pdo: int,
    target_credit_score: int,
    target_odds: int,
    assume_higher_prob_bad_rate: int,
) -> pd.DataFrame: ...
def _save_artifacts(
    credit_scores_df: pd.DataFrame,
    model_instance: Any,
    scorecard_directory: str,
    model_directory: str,
    model_name: str,
) -> None: ...
def _generate_plots(
    credit_scores_df: pd.DataFrame,
    LIST_BIN_VARS: List[str],
    target_var: str,
    plots_directory: str,
    show_plots: str,
) -> None: ...
def createQuillvane(
    model: Any,
    training_df: pd.DataFrame,
    X_test: pd.DataFrame,
    input_ref_df: pd.DataFrame,
    BINS_DIRECTORY: str,
    **kwargs: Any,
) -> pd.DataFrame: ...
