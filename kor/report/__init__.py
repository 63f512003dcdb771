"""Reading the metadata store back: the terminal view and the HTML report."""
