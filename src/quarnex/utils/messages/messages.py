"""Catalogue of the error and warning texts of the quarnex tools.

Each text is "<identifier>: <sentence>", with the caller's values placed in
the sentence in order::

    Messages.get_message("target", "sales", "bad value", message_id="QUARNEX0073E")
"""

__all__ = ["Messages"]

# identifier -> (number of values, template with {0}, {1}, {2})
_CATALOGUE = {
    # learning type, t-shirt size and required columns
    "QUARNEX0068E": (2, "The learning type {1} is not supported; use {0}."),
    "QUARNEX0092E": (2, "The {0} columns must be specified: this learning type needs at least one {1} column."),
    "QUARNEX0094E": (
        0,
        "A user holdout table is not supported for time-series anomaly prediction; give a holdout size instead.",
    ),
    "QUARNEX0103E": (2, "The t-shirt size {0} is not supported; use one of {1}."),
    # column designations
    "QUARNEX0072E": (2, "None of the {0} columns {1} was found in the data."),
    "QUARNEX00104E": (2, "The {0} column {1} was not found in the data."),
    "QUARNEX0016W": (1, "The column {0} was not found in the data and is ignored."),
    "QUARNEX0074E": (2, "The timestamp column {0} is also specified as a {1} column."),
    "QUARNEX0093E": (2, "Too many {0} columns for the chosen t-shirt size: at most {1} are allowed."),
    # values
    "QUARNEX0073E": (3, "The {0} column {1} could not be converted to numbers: {2}"),
    "QUARNEX0091E": (1, "The column {0} has missing values; fill or remove them first."),
    # timestamps
    "QUARNEX0076E": (2, "The value {1} of the timestamp column {0} could not be read as a date or time."),
    "QUARNEX0077E": (1, "The type of the timestamp column is not supported{0}."),
    "QUARNEX0078E": (
        3,
        "The timestamp column {0} mixes day-first and month-first dates: {1} can only be day-first, {2} only month-first.",
    ),
    "QUARNEX0017W": (
        3,
        "The timestamp column {0} was read day first ({1} as {2}): only that reading gives evenly spaced times.",
    ),
    "QUARNEX0079E": (
        3,
        "The timestamp column {0} mixes times with a zone or offset ({1}) and times without one ({2}); "
        "give every time a zone, or none.",
    ),
    "QUARNEX0080E": (
        3,
        "The zone {2} of the value {1} of the timestamp column {0} cannot be read; "
        "write it as an offset (such as -04:00) or as UTC.",
    ),
    "QUARNEX0071E": (2, "The mean time step of the timestamp column {0} is zero{1}."),
    "QUARNEX0004W": (
        1,
        "The time steps are not evenly spaced{0}: their standard deviation is above 20 percent of their mean.",
    ),
    "QUARNEX0075E": (0, "The timestamp column has repeated timestamps; each timestamp must occur only once."),
    # training data and holdout size
    "QUARNEX0069E": (0, "No training data were given."),
    "QUARNEX0070E": (2, "The holdout table has {0} rows; it needs at least one row (the training data have {1} rows)."),
    "QUARNEX0095E": (1, "The holdout size {0} must be greater than zero."),
    "QUARNEX0097E": (2, "The holdout size {0} is below the minimum of {1} rows."),
    "QUARNEX0098E": (2, "The holdout ratio {0} gives fewer rows than the minimum; use a ratio of at least {1}."),
    "QUARNEX0101E": (
        3,
        "The holdout size {0} is too large: at most {1} rows, a ratio of {2} of the data, are allowed.",
    ),
    "QUARNEX0102E": (2, "The holdout ratio {0} is too large: at most {1} is allowed."),
    "QUARNEX0012W": (3, "The holdout size {0} is above the maximum of {1} rows; {2} rows are used."),
    "QUARNEX0013W": (3, "The holdout ratio {0} is above the maximum of {1}; a ratio of {2} is used."),
    # data length
    "QUARNEX0084E": (1, "The data have too few rows for forecasting: at least {0} rows are needed."),
    "QUARNEX0096E": (1, "The data have too few rows for anomaly prediction: at least {0} rows are needed."),
    "QUARNEX0005W": (1, "The data have too many rows; only the latest {0} rows are used."),
    "QUARNEX0007W": (0, "The data have few rows; some pipelines may not run properly."),
    "QUARNEX0006W": (1, "The holdout data are larger than {0} of all the data and were cut to that share."),
    # user holdout table
    "QUARNEX0081E": (2, "The holdout table has {0} columns but the training table has {1}."),
    "QUARNEX0082E": (2, "The holdout table's columns {0} differ from the training table's columns {1}."),
    "QUARNEX0087E": (
        0,
        "The holdout data start before the training data end; the holdout must follow the training period.",
    ),
}


def _text(value):
    """str() of a value, falling back to repr() and then to a placeholder."""
    try:
        return str(value)
    except Exception:
        pass
    try:
        return repr(value)
    except Exception:
        return f"<unprintable {type(value).__name__}>"


class Messages:
    """Looks up and fills in the texts of the catalogue."""

    @staticmethod
    def get_message(*args, message_id):
        """Return the text of ``message_id`` with ``args`` placed in it.

        Raises KeyError for an unknown identifier and TypeError when the
        number of values does not match the identifier's.
        """
        try:
            count, template = _CATALOGUE[message_id]
        except KeyError:
            raise KeyError(f"unknown message identifier {message_id!r}") from None
        if len(args) != count:
            raise TypeError(f"message {message_id} takes {count} value(s), {len(args)} given")
        return f"{message_id}: " + template.format(*(_text(a) for a in args))
