int quorndk_placeholder = 0;
